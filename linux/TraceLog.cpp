// SPDX-License-Identifier: Apache-2.0
// The trace log: one line per message, the file opened, written and closed
// again for every line so that each line is on disk when PrintLog returns and
// nothing is held open between calls. Every operation answers with a status
// code; no caller in the library looks at it.
//
// A service often has a reader thread and a writer thread on the one port, so
// one lock guards the log's settings and its file handles: a line is written
// whole, and one thread's open never replaces the handle another thread is
// writing through. The lock is held for one log operation only, never across
// a port operation.
#include <fcntl.h>
#include <pthread.h>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <ctime>
#include <unistd.h>

#include "ZkPosSo.h"

bool m_bDebug = false;
char m_strFileName[200] = "";
short m_bTxt = 0;
short m_bPrintDate = 0;
int m_iVerbosity = 0;
FILE* m_TextFile = nullptr;
int m_iStreamOut = -1;

namespace {

pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;

// A host that forks while another thread writes a line must not hand its
// child a lock that nobody will ever release: the fork waits for the line to
// end, and both processes go on with the lock free.
void LockBeforeFork() {
    pthread_mutex_lock(&logLock);
}
void UnlockAfterFork() {
    pthread_mutex_unlock(&logLock);
}
__attribute__((constructor)) void GuardLogLockAcrossFork() {
    pthread_atfork(LockBeforeFork, UnlockAfterFork, UnlockAfterFork);
}

// Holds the log's lock for the life of the object.
class LogLock {
public:
    LogLock() { pthread_mutex_lock(&logLock); }
    ~LogLock() { pthread_mutex_unlock(&logLock); }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
};

// The level filter reads the verbosity without the lock (TraceVerbosity).
void StoreVerbosity(int verbosity) {
    __atomic_store_n(&m_iVerbosity, verbosity, __ATOMIC_RELAXED);
}

const size_t kRenderedSize = 1024;
const size_t kDatePrefixSize = 30;

// A rejected setting turns tracing off rather than keep settings the caller
// did not ask for. The handles are forgotten, not closed: between calls they
// are closed already.
int FailInitLog(int status) {
    StoreVerbosity(0);
    m_iStreamOut = -1;
    m_TextFile = nullptr;
    return status;
}

bool HasTextExtension(const char* fileName) {
    size_t length = strlen(fileName);
    if (length <= 4) {
        return false;
    }
    const char* extension = fileName + length - 4;
    return strcasecmp(extension, ".log") == 0 || strcasecmp(extension, ".txt") == 0;
}

// Framing bytes make a line unreadable as plain text, so a text that carries
// any of them is shown with every control byte spelled out.
bool HasFramingByte(const char* text) {
    return strpbrk(text, "\x02\x03\x06\x15") != nullptr;
}

// Bytes below 32 and, read as signed, 0x80 to 0xFF take the |0x..| form, always
// two hex digits. The result is cut at a whole piece when it would not fit.
void RenderText(char* rendered, size_t size, const char* text) {
    memset(rendered, 0, size);
    if (!HasFramingByte(text)) {
        strncpy(rendered, text, size - 1);
        return;
    }
    size_t used = 0;
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;
         ++byte) {
        char piece[30];
        if (static_cast<signed char>(*byte) < 32) {
            snprintf(piece, sizeof piece, "|0x%.2x|", static_cast<unsigned>(*byte));
        } else {
            piece[0] = static_cast<char>(*byte);
            piece[1] = '\0';
        }
        size_t pieceLength = strlen(piece);
        if (used + pieceLength > size - 1) {
            break;
        }
        memcpy(rendered + used, piece, pieceLength);
        used += pieceLength;
    }
}

// localtime_r, not localtime: the host JVM runs other threads that may convert
// times of their own at the same moment.
bool FormatDatePrefix(char* prefix, size_t size) {
    struct timeval now;
    struct tm local;
    if (gettimeofday(&now, nullptr) != 0 || localtime_r(&now.tv_sec, &local) == nullptr) {
        return false;
    }
    int length = snprintf(prefix, size, "[%d-%02d-%02d %02d:%02d:%02d.%03ld] ",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, static_cast<long>(now.tv_usec / 1000));
    return length > 0 && static_cast<size_t>(length) < size;
}

// The text-mode file, opened for appending as fopen's "a" would, but never
// waiting: a FIFO or a device at the path would hold the log's lock, and with
// it every port call, for as long as nobody reads it. Only a regular file is
// written; anything else counts as a file that cannot be opened. A link at the
// path is followed, since an administrator may have put it there on purpose.
FILE* OpenTextFile(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status;
    FILE* file = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        file = fdopen(fd, "a");
    }
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// The file handling; the callers hold the lock.
int OpenFile() {
    if (m_bTxt != 0) {
        m_TextFile = OpenTextFile(m_strFileName);
        if (m_TextFile == nullptr) {
            return LOG_OPEN_FAILED;
        }
        // The stream lives for one line only: a buffer would cost a stat and an
        // allocation per line and save nothing, so the line goes out as one write.
        setvbuf(m_TextFile, nullptr, _IONBF, 0);
        return LOG_OK;
    }
    // Descriptor mode writes to what is already there (a device, a terminal,
    // an existing file) and, like a device, from its first byte: the path is
    // neither created, truncated nor appended to. Non-blocking, so that a FIFO
    // nobody reads fails the open (and a full one drops the line) instead of
    // holding the lock.
    m_iStreamOut = open(m_strFileName, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return m_iStreamOut >= 0 ? LOG_OK : LOG_OPEN_FAILED;
}

int CloseFile() {
    int status = LOG_OK;
    if (m_bTxt != 0) {
        if (m_TextFile == nullptr) {
            return LOG_OK;
        }
        if (fclose(m_TextFile) != 0) {
            status = LOG_CLOSE_FAILED;
        }
    } else {
        if (m_iStreamOut == -1) {
            return LOG_OK;
        }
        if (close(m_iStreamOut) < 0) {
            status = LOG_CLOSE_FAILED;
        }
    }
    // A failed close has released the handle all the same (fclose always
    // does, and so does close on Linux): keeping it would invite a second close.
    m_TextFile = nullptr;
    m_iStreamOut = -1;
    return status;
}

int WriteFile(const char* text) {
    size_t length = strlen(text);
    if (m_bTxt != 0) {
        if (m_TextFile == nullptr) {
            return LOG_WRITE_FAILED;
        }
        if (length > 0 && fwrite(text, length, 1, m_TextFile) != 1) {
            CloseFile();
            return LOG_WRITE_FAILED;
        }
        return LOG_OK;
    }
    if (m_iStreamOut < 0) {
        return LOG_WRITE_FAILED;
    }
    if (write(m_iStreamOut, text, length) != static_cast<ssize_t>(length)) {
        CloseFile();
        return LOG_WRITE_FAILED;
    }
    return LOG_OK;
}

// Drops the line being written: the file is closed again, so no handle stays
// open between calls.
int DropLine() {
    CloseFile();
    return LOG_LINE_FAILED;
}

}  // namespace

int InitLog(const char* fileName, int verbosity, short printDate) {
    LogLock lock;
    if (!TraceSwitchOn()) {
        return LOG_OK;
    }
    size_t length = fileName != nullptr ? strnlen(fileName, sizeof m_strFileName) : 0;
    if (fileName == nullptr || length >= sizeof m_strFileName) {
        return FailInitLog(LOG_OPEN_FAILED);
    }
    if (printDate < 0 || printDate > 1) {
        return FailInitLog(LOG_BAD_PRINT_DATE);
    }
    if (verbosity < 0 || verbosity > 5) {
        return FailInitLog(LOG_BAD_LEVEL);
    }
    m_bPrintDate = printDate;
    StoreVerbosity(verbosity);
    // memmove: a caller may hand back the stored name itself, or a part of it.
    memmove(m_strFileName, fileName, length + 1);
    m_bTxt = HasTextExtension(m_strFileName) ? 1 : 0;

    // The probe runs even at verbosity 0, so a text-mode log file exists once
    // tracing has been set up, written to or not.
    if (OpenFile() != LOG_OK) {
        return FailInitLog(LOG_OPEN_FAILED);
    }
    if (CloseFile() != LOG_OK) {
        return FailInitLog(LOG_CLOSE_FAILED);
    }
    return LOG_OK;
}

int PrintLog(const char* module, const char* function, const char* text, int level) {
    LogLock lock;
    if (!TraceSwitchOn()) {
        return LOG_OK;
    }
    if (level < 1 || level > 5) {
        return LOG_BAD_LEVEL;
    }
    if (m_iVerbosity == 0 || level > m_iVerbosity) {
        return LOG_NOT_WRITTEN;
    }
    if (OpenFile() != LOG_OK) {
        return LOG_LINE_FAILED;
    }

    char prefix[kDatePrefixSize] = "";
    if (m_bPrintDate != 0 && !FormatDatePrefix(prefix, sizeof prefix)) {
        return DropLine();
    }
    module = module != nullptr ? module : "";
    function = function != nullptr ? function : "";
    char rendered[kRenderedSize];
    RenderText(rendered, sizeof rendered, text != nullptr ? text : "");

    size_t size = strlen(prefix) + strlen(module) + strlen(function) + strlen(rendered) + 9;
    char* line = static_cast<char*>(calloc(size, 1));
    if (line == nullptr) {
        return DropLine();
    }
    snprintf(line, size, "%s%s::%s --> %s\n", prefix, module, function, rendered);
    int written = WriteFile(line);
    free(line);
    if (written != LOG_OK) {
        return LOG_LINE_FAILED;  // WriteFile has closed the file already
    }
    return CloseFile() == LOG_OK ? LOG_OK : LOG_LINE_FAILED;
}

int ChangePrintDate(short printDate) {
    if (printDate < 0 || printDate > 1) {
        return LOG_BAD_PRINT_DATE;
    }
    LogLock lock;
    m_bPrintDate = printDate;
    return LOG_OK;
}

int ChangeVerbosity(int verbosity) {
    if (verbosity < 0 || verbosity > 5) {
        return LOG_BAD_LEVEL;
    }
    LogLock lock;
    StoreVerbosity(verbosity);
    return LOG_OK;
}

int GetVerbosity(void) {
    return TraceVerbosity();
}

void StopLog(void) {
    LogLock lock;
    StoreVerbosity(0);
}

void SetTraceSwitch(bool on) {
    __atomic_store_n(&m_bDebug, on, __ATOMIC_RELAXED);
}

int OpenLogFile(void) {
    LogLock lock;
    return OpenFile();
}

int CloseLogFile(void) {
    LogLock lock;
    return CloseFile();
}

// A null text is written as the empty one, as PrintLog takes it.
int WriteLogFile(const char* text) {
    LogLock lock;
    return WriteFile(text != nullptr ? text : "");
}
