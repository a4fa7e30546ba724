// SPDX-License-Identifier: Apache-2.0
// The trace log of ZkPosDll64.dll and its two log paths.
//
// The log is best-effort: nothing here reports a failure, and a line that
// cannot be written is dropped. Each line opens, appends to and closes the
// file, so it is on disk when PrintTrace returns and no handle is held between
// lines. A reader thread and a writer thread trace at the same time: their
// lines take turns on one lock, so neither loses its line to the other. A
// second program on the same file still does (the file is not shared).
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ZkPosDll.h"

int m_iTraceLevel = 0;
char m_strLogFileName[ZKPOS_PATH_SIZE] = "";
char m_strComLogFileName[ZKPOS_PATH_SIZE] = "";

namespace {

const char* const kLogFolders[] = {"\\Zelkortec", "\\JavaPos", "\\Log"};
const char kFallbackFolder[] = "c:\\";
const char kLogFileName[] = "\\ZkPosDll.log";
const char kComLogFileName[] = "\\ZkLink.log";

// Guards the log paths and the writing of one line.
SRWLOCK m_traceLock = SRWLOCK_INIT;

class TraceLock {
public:
    TraceLock() { AcquireSRWLockExclusive(&m_traceLock); }
    ~TraceLock() { ReleaseSRWLockExclusive(&m_traceLock); }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
};

// Appends text to the zero-terminated destination, cutting it to fit.
void AppendText(char* destination, size_t size, const char* text) {
    size_t used = strnlen(destination, size);
    if (used + 1 >= size) {
        return;
    }
    snprintf(destination + used, size - used, "%s", text);
}

// Forms folder + file name with exactly one backslash between them.
void FormLogPath(char* destination, const char* folder, const char* fileName) {
    size_t folderLength = strlen(folder);
    if (folderLength > 0 && folder[folderLength - 1] == '\\') {
        ++fileName;
    }
    snprintf(destination, ZKPOS_PATH_SIZE, "%s%s", folder, fileName);
}

}  // namespace

void InitLogPaths() {
    {
        TraceLock lock;
        memset(m_strLogFileName, 0, sizeof m_strLogFileName);
        memset(m_strComLogFileName, 0, sizeof m_strComLogFileName);
    }
    if (m_iTraceLevel == 0) {
        return;
    }
    char documents[ZKPOS_PATH_SIZE] = "";
    if (SHGetSpecialFolderPathA(nullptr, documents, CSIDL_PERSONAL, FALSE)) {
        BuildLogPaths(documents);
    } else {
        BuildLogPaths(nullptr);
    }
}

void BuildLogPaths(const char* documentsFolder) {
    char folder[ZKPOS_PATH_SIZE] = "";
    if (documentsFolder == nullptr) {
        // Without a Documents folder the log goes to the drive root, which
        // always exists; nothing is created there.
        snprintf(folder, sizeof folder, "%s", kFallbackFolder);
    } else {
        snprintf(folder, sizeof folder, "%s", documentsFolder);
        for (const char* name : kLogFolders) {
            AppendText(folder, sizeof folder, name);
            // An existing folder is used as it is; a failed creation shows up
            // later as lines that cannot be written, which the log tolerates.
            if (GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES) {
                CreateDirectoryA(folder, nullptr);
            }
        }
    }
    TraceLock lock;
    FormLogPath(m_strLogFileName, folder, kLogFileName);
    FormLogPath(m_strComLogFileName, folder, kComLogFileName);
}

void PrintTrace(int level, const char* format, ...) {
    char text[ZKPOS_DLL_TRACE_TEXT_SIZE] = "";
    if (level > m_iTraceLevel) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    // Texts from the Java side (device bus, port name, address) can be longer
    // than any line of ours; they are cut to the buffer.
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    WriteLogLine(text);
}

void WriteLogLine(const char* text) {
    time_t now = time(nullptr);
    const struct tm* local = localtime(&now);
    int year = 0, month = 0, day = 0, hour = -1, minute = -1, second = -1;
    if (local != nullptr) {
        year = local->tm_year + 1900;
        month = local->tm_mon + 1;
        day = local->tm_mday;
        hour = local->tm_hour;
        minute = local->tm_min;
        second = local->tm_sec;
    }
    // No sharing: a second program writing at the same moment loses its line
    // rather than interleaving it with ours.
    TraceLock lock;
    HANDLE file = CreateFileA(m_strLogFileName, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    SetFilePointer(file, 0, nullptr, FILE_END);
    char stamp[ZKPOS_DLL_TRACE_TEXT_SIZE] = "";
    snprintf(stamp, sizeof stamp, "[%04d/%02d/%02d %02d:%02d:%02d]", year, month, day, hour, minute,
             second);
    DWORD written = 0;
    WriteFile(file, stamp, static_cast<DWORD>(strlen(stamp)), &written, nullptr);
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
    CloseHandle(file);
}
