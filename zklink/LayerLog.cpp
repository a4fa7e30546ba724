// SPDX-License-Identifier: Apache-2.0
// The layer's own log: time-stamped lines appended to the path the port DLL
// hands to CreateCommunicationPort. The file is opened for each line and
// shared for reading and writing, so a user can watch it while the port
// works; a line that cannot be written is dropped, never a port's failure.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ZkLinkInternal.h"

namespace {

bool m_bLogOn = false;
int m_iLogMask = 0;
char m_strLogPath[MAX_PATH] = "";

// The bytes line shows at most this many bytes.
const int kBytesShown = 64;

void AppendLine(const char* text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[ZKLINK_LOG_TEXT_SIZE + 32];
    int length = snprintf(line, sizeof line, "[%04u/%02u/%02u %02u:%02u:%02u.%03u] %s\r\n",
                          now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                          now.wMilliseconds, text);
    if (length < 0) {
        return;
    }
    if (length >= static_cast<int>(sizeof line)) {
        length = sizeof line - 1;
        line[length - 2] = '\r';
        line[length - 1] = '\n';
    }
    HANDLE file = CreateFileA(m_strLogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    // A lost line changes nothing for the port: its result is not examined.
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

bool SetLayerLog(int logFlag, int logMask, const char* path) {
    bool fits = path == nullptr || strnlen(path, MAX_PATH) < MAX_PATH;
    m_bLogOn = logFlag == 1 && path != nullptr && path[0] != '\0' && fits;
    m_iLogMask = m_bLogOn ? logMask : 0;
    snprintf(m_strLogPath, sizeof m_strLogPath, "%s", m_bLogOn ? path : "");
    return fits;
}

void ForgetLayerLog() {
    SetLayerLog(0, 0, nullptr);
}

bool LayerLogWants(int bit) {
    return m_bLogOn && (m_iLogMask & bit) != 0;
}

void LayerLog(int bit, const char* format, ...) {
    if (!LayerLogWants(bit)) {
        return;
    }
    char text[ZKLINK_LOG_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    AppendLine(text);
}

void LayerLogBytes(const char* what, const unsigned char* data, int length) {
    if (!LayerLogWants(ZKLINK_LOG_BYTES) || length <= 0) {
        return;
    }
    char hex[kBytesShown * 3 + 1] = "";
    int shown = length < kBytesShown ? length : kBytesShown;
    for (int i = 0; i < shown; ++i) {
        snprintf(hex + i * 3, sizeof hex - i * 3, "%02X ", data[i]);
    }
    hex[shown * 3 - 1] = '\0';
    LayerLog(ZKLINK_LOG_BYTES, "%s bytes: %s%s", what, hex, length > shown ? " ..." : "");
}

const char* SystemErrorText(DWORD error) {
    // Reader and writer threads may both fail at once.
    static thread_local char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    if (length == 0) {
        snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
    } else {
        snprintf(text + length, sizeof text - length, " (%lu)", static_cast<unsigned long>(error));
    }
    return text;
}
