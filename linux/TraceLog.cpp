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
#include <cerrno>
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

// Digits written as printf's "%0*ld" writes them: at least width characters,
// the sign counted among them, zeros between the sign and the digits. The
// line is built by hand because printf's machinery costs a written line about
// as much again as its open, write and close.
char* AppendNumber(char* out, long value, int width) {
    char digits[24];
    int count = 0;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *out++ = '-';
        --width;
    }
    for (int pad = width - count; pad > 0; --pad) {
        *out++ = '0';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

char* AppendText(char* out, const char* text, size_t length) {
    memcpy(out, text, length);
    return out + length;
}

// Renders the text into out, at most limit characters, and returns their
// number. Bytes below 32 and, read as signed, 0x80 to 0xFF take the |0x..|
// form, always two hex digits; the result is cut at a whole piece when the
// next one would not fit.
size_t RenderText(char* out, size_t limit, const char* text) {
    if (!HasFramingByte(text)) {
        size_t length = strnlen(text, limit);
        memcpy(out, text, length);
        return length;
    }
    static const char kHexDigits[] = "0123456789abcdef";
    const size_t kPieceLength = 6;  // |0x..|
    size_t used = 0;
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;
         ++byte) {
        if (static_cast<signed char>(*byte) >= 32) {
            if (used + 1 > limit) {
                break;
            }
            out[used++] = static_cast<char>(*byte);
            continue;
        }
        if (used + kPieceLength > limit) {
            break;
        }
        char* piece = out + used;
        piece[0] = '|';
        piece[1] = '0';
        piece[2] = 'x';
        piece[3] = kHexDigits[*byte >> 4];
        piece[4] = kHexDigits[*byte & 0xf];
        piece[5] = '|';
        used += kPieceLength;
    }
    return used;
}

// The date prefix of the last second a line was dated in, up to its
// milliseconds: a burst of lines converts and formats that second once, as
// the conversion gives the same answer all through it. Guarded by the log's
// lock.
struct DatedSecond {
    time_t second;
    bool valid;
    size_t length;
    char text[kDatePrefixSize];
};
DatedSecond m_DatedSecond = {0, false, 0, ""};

// "[%d-%02d-%02d %02d:%02d:%02d." of the second, kept in m_DatedSecond; false
// when the conversion fails or the whole prefix would not fit its
// kDatePrefixSize characters, terminator included, as it never did.
// localtime_r, not localtime: the host JVM runs other threads that may convert
// times of their own at the same moment.
bool DateSecond(time_t second) {
    m_DatedSecond.valid = false;
    struct tm local;
    if (localtime_r(&second, &local) == nullptr) {
        return false;
    }
    char text[64];
    char* out = text;
    *out++ = '[';
    out = AppendNumber(out, static_cast<long>(local.tm_year) + 1900, 1);
    *out++ = '-';
    out = AppendNumber(out, local.tm_mon + 1, 2);
    *out++ = '-';
    out = AppendNumber(out, local.tm_mday, 2);
    *out++ = ' ';
    out = AppendNumber(out, local.tm_hour, 2);
    *out++ = ':';
    out = AppendNumber(out, local.tm_min, 2);
    *out++ = ':';
    out = AppendNumber(out, local.tm_sec, 2);
    *out++ = '.';
    size_t length = static_cast<size_t>(out - text);
    if (length + sizeof "mmm] " > kDatePrefixSize) {
        return false;
    }
    memcpy(m_DatedSecond.text, text, length);
    m_DatedSecond.length = length;
    m_DatedSecond.second = second;
    m_DatedSecond.valid = true;
    return true;
}

// Appends "[%d-%02d-%02d %02d:%02d:%02d.%03ld] " of the time of day to out,
// which has room for kDatePrefixSize characters, and returns the end, or null
// when the clock or the conversion failed.
char* AppendDatePrefix(char* out) {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        return nullptr;
    }
    if (!(m_DatedSecond.valid && m_DatedSecond.second == now.tv_sec) && !DateSecond(now.tv_sec)) {
        return nullptr;
    }
    // The whole text block, not its length: a copy of a fixed size is a few
    // moves, one of a varying size a call of its own.
    memcpy(out, m_DatedSecond.text, sizeof m_DatedSecond.text);
    out += m_DatedSecond.length;
    out = AppendNumber(out, static_cast<long>(now.tv_usec / 1000), 3);
    *out++ = ']';
    *out++ = ' ';
    return out;
}

// Whether the open file is a regular one. statx asked for the type alone
// costs a written line a third less than fstat; where statx is missing or
// filtered (an old kernel, a container's system-call filter), fstat answers.
bool IsRegularFile(int fd) {
    struct statx status;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &status) == 0) {
        return (status.stx_mask & STATX_TYPE) != 0 && S_ISREG(status.stx_mode);
    }
    struct stat fallback;
    return fstat(fd, &fallback) == 0 && S_ISREG(fallback.st_mode);
}

// The text-mode file, opened for appending as fopen's "a" would, but never
// waiting: a FIFO or a device at the path would hold the log's lock, and with
// it every port call, for as long as nobody reads it. Only a regular file is
// written; anything else counts as a file that cannot be opened. A link at the
// path is followed, since an administrator may have put it there on purpose.
int OpenTextDescriptor(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    if (!IsRegularFile(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

FILE* OpenTextFile(const char* path) {
    int fd = OpenTextDescriptor(path);
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = fdopen(fd, "a");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Descriptor mode writes to what is already there (a device, a terminal, an
// existing file) and, like a device, from its first byte: the path is neither
// created, truncated nor appended to. Non-blocking, so that a FIFO nobody
// reads fails the open (and a full one drops the line) instead of holding the
// lock.
int OpenDeviceDescriptor(const char* path) {
    return open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// The file handling of the exported OpenLogFile, WriteLogFile and
// CloseLogFile (and of InitLog's probe); the callers hold the lock.
int OpenFile() {
    if (m_bTxt != 0) {
        m_TextFile = OpenTextFile(m_strFileName);
        if (m_TextFile == nullptr) {
            return LOG_OPEN_FAILED;
        }
        // Unbuffered, so that every WriteLogFile is in the file when it
        // returns, as a line of PrintLog is.
        setvbuf(m_TextFile, nullptr, _IONBF, 0);
        return LOG_OK;
    }
    m_iStreamOut = OpenDeviceDescriptor(m_strFileName);
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

// Text mode hands a line over as stdio did: what a file takes short of the
// whole line (a disk filling up) is followed by the rest until the file
// refuses. Descriptor mode makes one write, and a short one loses the line.
bool WriteLine(int fd, const char* line, size_t length) {
    if (m_bTxt == 0) {
        return write(fd, line, length) == static_cast<ssize_t>(length);
    }
    while (length > 0) {
        ssize_t written = write(fd, line, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        line += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Opens the file for one line, writes it and closes the file again. The line
// goes to a descriptor of its own, not through m_TextFile: a stdio stream
// around it would cost a flag query, an allocation and its bookkeeping per
// line and still make the same single write.
int WriteLineToFile(const char* line, size_t length) {
    int fd = m_bTxt != 0 ? OpenTextDescriptor(m_strFileName) : OpenDeviceDescriptor(m_strFileName);
    if (fd < 0) {
        return LOG_LINE_FAILED;
    }
    int status = WriteLine(fd, line, length) ? LOG_OK : LOG_LINE_FAILED;
    if (close(fd) < 0) {
        status = LOG_LINE_FAILED;
    }
    return status;
}

// Room on the stack for a line with names of any usual length; a longer one
// takes a heap block.
const size_t kStackLineSize = 2048;

// "%s%s::%s --> %s\n" of the date prefix, module, function and rendered text,
// written from line on; the end, or null when the time of day could not be
// had.
char* ComposeLine(char* line, const char* module, size_t moduleLength, const char* function,
                  size_t functionLength, const char* text) {
    char* out = m_bPrintDate != 0 ? AppendDatePrefix(line) : line;
    if (out == nullptr) {
        return nullptr;
    }
    out = AppendText(out, module, moduleLength);
    out = AppendText(out, "::", 2);
    out = AppendText(out, function, functionLength);
    out = AppendText(out, " --> ", 5);
    out += RenderText(out, kRenderedSize - 1, text);
    *out++ = '\n';
    return out;
}

// The line is composed before the file is opened, so that the file is open
// only for its write.
int PrintLine(const char* module, const char* function, const char* text) {
    size_t moduleLength = strlen(module);
    size_t functionLength = strlen(function);
    // The longest line these names can make: the prefix, the eight fixed
    // characters and the rendered text at its limit.
    size_t size = kDatePrefixSize + moduleLength + functionLength + 8 + kRenderedSize;
    char stackLine[kStackLineSize];
    char* line = stackLine;
    if (size > sizeof stackLine) {
        line = static_cast<char*>(malloc(size));
        if (line == nullptr) {
            return LOG_LINE_FAILED;
        }
    }
    char* end = ComposeLine(line, module, moduleLength, function, functionLength, text);
    int status =
        end != nullptr ? WriteLineToFile(line, static_cast<size_t>(end - line)) : LOG_LINE_FAILED;
    if (line != stackLine) {
        free(line);
    }
    return status;
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
    return PrintLine(module != nullptr ? module : "", function != nullptr ? function : "",
                     text != nullptr ? text : "");
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
