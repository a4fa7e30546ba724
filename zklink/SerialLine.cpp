// SPDX-License-Identifier: Apache-2.0
// The serial transport: a COM port opened exclusively, set up by
// SetCommState, read and written under COMMTIMEOUTS so that no wait outlasts
// the time-outs the caller set.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ZkLinkInternal.h"

namespace {

// The zeros of parity and flow control are the line these devices use.
const BYTE kParity[] = {ODDPARITY, EVENPARITY, NOPARITY, MARKPARITY, SPACEPARITY};
const int kFlowRtsCts = 0;
const int kFlowXonXoff = 2;
const int kQueueSize = 4096;
const int kHighestComNumber = 256;
const int kHighestBaud = 4000000;

char m_strSerialPath[MAX_PATH] = "";
int m_iBaud = 0;
int m_iStopBits = 1;
int m_iDataBits = 7;
int m_iParity = 0;
int m_iFlowControl = kFlowRtsCts;

int m_iCheckMs = 10;
int m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
int m_iWritePerByteMs = 10;
int m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
int m_iDrainPerByteMs = 10;

HANDLE m_hSerial = INVALID_HANDLE_VALUE;
// Held while the port is open: a system-wide name for the port, so that two
// programs using this layer never share one, even where a driver lets a
// second open of the device through.
HANDLE m_hPortLock = nullptr;

// "COM1".."COM256" in any letter case becomes \\.\COMn; a \\.\ path stays.
bool MakeDevicePath(const char* name, char* path, size_t size) {
    size_t length = strnlen(name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    if (strncmp(name, "\\\\.\\", 4) == 0) {
        return length > 4 && snprintf(path, size, "%s", name) < static_cast<int>(size);
    }
    if (_strnicmp(name, "COM", 3) != 0 || length < 4 || length > 6 || name[3] == '0') {
        return false;
    }
    for (size_t i = 3; i < length; ++i) {
        if (!isdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    int number = atoi(name + 3);
    return number >= 1 && number <= kHighestComNumber &&
           snprintf(path, size, "\\\\.\\COM%d", number) < static_cast<int>(size);
}

void ReleasePort() {
    if (m_hSerial != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hSerial);
        m_hSerial = INVALID_HANDLE_VALUE;
    }
    if (m_hPortLock != nullptr) {
        CloseHandle(m_hPortLock);
        m_hPortLock = nullptr;
    }
}

int FailOpen(int code, const char* step, DWORD error) {
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: %s failed: %s", m_strSerialPath, step,
             SystemErrorText(error));
    ReleasePort();
    return code;
}

int RefuseInUse(DWORD error) {
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s is in use by another program: %s", m_strSerialPath,
             SystemErrorText(error));
    ReleasePort();
    return ZKLINK_E_IN_USE;
}

// The port's lock, named after its device path, upper case, without the
// backslashes that kernel object names may not hold.
bool TakePortLock() {
    char name[MAX_PATH + 32] = "Global\\ZkLink64 port ";
    size_t at = strlen(name);
    for (const char* c = m_strSerialPath; *c != '\0' && at + 1 < sizeof name; ++c) {
        name[at++] = *c == '\\' ? '_' : static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    }
    name[at] = '\0';
    SetLastError(ERROR_SUCCESS);
    m_hPortLock = CreateMutexA(nullptr, FALSE, name);
    if (m_hPortLock != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m_hPortLock);
        m_hPortLock = nullptr;
        return false;
    }
    return true;
}

// The whole state is ours: nothing is taken over from the program that used
// the port before.
bool ApplyLineSettings() {
    DCB line;
    memset(&line, 0, sizeof line);
    line.DCBlength = sizeof line;
    line.BaudRate = static_cast<DWORD>(m_iBaud);
    line.fBinary = TRUE;
    line.ByteSize = static_cast<BYTE>(m_iDataBits);
    line.Parity = kParity[m_iParity];
    line.fParity = m_iParity != 2;
    line.StopBits = m_iStopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    bool rtsCts = m_iFlowControl == kFlowRtsCts;
    line.fOutxCtsFlow = rtsCts;
    line.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fOutX = m_iFlowControl == kFlowXonXoff;
    line.fInX = m_iFlowControl == kFlowXonXoff;
    line.fTXContinueOnXoff = TRUE;
    line.XonLim = kQueueSize / 4;
    line.XoffLim = kQueueSize / 4;
    line.XonChar = 0x11;
    line.XoffChar = 0x13;
    if (SetCommState(m_hSerial, &line)) {
        return true;
    }
    // A line left by the program before can make the change refused (Wine
    // over a pseudo-terminal keeps a stray odd-parity flag that it then
    // rejects). A plain 8N1 line first clears such state; one retry only.
    DCB plain = line;
    plain.ByteSize = 8;
    plain.Parity = NOPARITY;
    plain.fParity = FALSE;
    return SetCommState(m_hSerial, &plain) && SetCommState(m_hSerial, &line);
}

// A read returns as soon as one byte is there, and waits at most one check
// step for it; the read loop checks the line between steps. A read time-out
// of 0 takes what is there and never waits.
bool ApplyTimeouts() {
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (m_iReadMs > 0) {
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = m_iReadMs < m_iCheckMs ? m_iReadMs : m_iCheckMs;
    }
    // Zero in both write fields would mean "no limit at all".
    timeouts.WriteTotalTimeoutConstant = m_iWriteMs > 0 ? m_iWriteMs : 1;
    timeouts.WriteTotalTimeoutMultiplier = m_iWritePerByteMs;
    return SetCommTimeouts(m_hSerial, &timeouts) != 0;
}

// The number of bytes the driver holds for us. A break or a framing error
// means the line is broken, not merely quiet; a port whose state cannot be
// read any more has gone (a USB adapter pulled, a terminal hung up). Either
// is logged and answered false.
bool QueuedBytes(DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(m_hSerial, &errors, &status)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Read: %s is gone: %s", m_strSerialPath,
                 SystemErrorText(GetLastError()));
        return false;
    }
    if ((errors & (CE_BREAK | CE_FRAME)) != 0) {
        LayerLog(ZKLINK_LOG_ERRORS, "Read: %s: the line is broken (line errors 0x%lX)",
                 m_strSerialPath, static_cast<unsigned long>(errors));
        return false;
    }
    *queued = status.cbInQue;
    return true;
}

bool ReadSome(unsigned char* buffer, DWORD size, DWORD* got) {
    if (!ReadFile(m_hSerial, buffer, size, got, nullptr)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Read: %s: %s", m_strSerialPath,
                 SystemErrorText(GetLastError()));
        return false;
    }
    return true;
}

}  // namespace

int SerialInit(const char* name, int baud, int stopBits, int dataBits, int parity,
               int flowControl) {
    char path[MAX_PATH];
    if (name == nullptr || !MakeDevicePath(name, path, sizeof path)) {
        LayerLog(ZKLINK_LOG_ERRORS,
                 "InitSerialPort: the name is not COM1..COM256 or a \\\\.\\ path");
        return ZKLINK_E_ARGUMENT;
    }
    if (baud < 1 || baud > kHighestBaud || (stopBits != 1 && stopBits != 2) || dataBits < 5 ||
        dataBits > 8 || parity < 0 || parity > 4 || flowControl < 0 || flowControl > 2) {
        LayerLog(ZKLINK_LOG_ERRORS,
                 "InitSerialPort: %s: out of range: baud %d, stop bits %d, data bits %d, parity "
                 "%d, flow control %d",
                 path, baud, stopBits, dataBits, parity, flowControl);
        return ZKLINK_E_ARGUMENT;
    }
    memcpy(m_strSerialPath, path, sizeof path);
    m_iBaud = baud;
    m_iStopBits = stopBits;
    m_iDataBits = dataBits;
    m_iParity = parity;
    m_iFlowControl = flowControl;
    LayerLog(ZKLINK_LOG_STEPS,
             "InitSerialPort: %s, %d baud, %d data bits, parity %d, %d stop bits, flow control %d",
             path, baud, dataBits, parity, stopBits, flowControl);
    return ZKLINK_OK;
}

int SerialSetTimeouts(int checkMs, int readMs, int writePerByteMs, int writeMs,
                      int drainPerByteMs) {
    if (checkMs < 1 || checkMs > 1000 || readMs < 0 || readMs > ZKLINK_MAX_TIMEOUT_MS ||
        writePerByteMs < 0 || writePerByteMs > 1000 || writeMs < 0 ||
        writeMs > ZKLINK_MAX_TIMEOUT_MS || drainPerByteMs < 0 || drainPerByteMs > 1000) {
        LayerLog(ZKLINK_LOG_ERRORS, "SetSerialTimeout: out of range: %d, %d, %d, %d, %d", checkMs,
                 readMs, writePerByteMs, writeMs, drainPerByteMs);
        return ZKLINK_E_ARGUMENT;
    }
    m_iCheckMs = checkMs;
    m_iReadMs = readMs;
    m_iWritePerByteMs = writePerByteMs;
    m_iWriteMs = writeMs;
    m_iDrainPerByteMs = drainPerByteMs;
    LayerLog(ZKLINK_LOG_STEPS, "SetSerialTimeout: read %d ms, write %d ms + %d ms a byte", readMs,
             writeMs, writePerByteMs);
    if (m_hSerial != INVALID_HANDLE_VALUE && !ApplyTimeouts()) {
        LayerLog(ZKLINK_LOG_ERRORS, "SetSerialTimeout: SetCommTimeouts failed: %s",
                 SystemErrorText(GetLastError()));
        return ZKLINK_E_IO;
    }
    return ZKLINK_OK;
}

bool SerialIsSetUp() {
    return m_strSerialPath[0] != '\0';
}

int SerialOpen() {
    if (!TakePortLock()) {
        return RefuseInUse(ERROR_SHARING_VIOLATION);
    }
    m_hSerial = CreateFileA(m_strSerialPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hSerial == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return RefuseInUse(error);
        }
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return FailOpen(missing ? ZKLINK_E_NOT_FOUND : ZKLINK_E_IO, "CreateFile", error);
    }
    if (!SetupComm(m_hSerial, kQueueSize, kQueueSize)) {
        return FailOpen(ZKLINK_E_IO, "SetupComm", GetLastError());
    }
    if (!ApplyLineSettings()) {
        return FailOpen(ZKLINK_E_SETTINGS, "SetCommState", GetLastError());
    }
    if (!ApplyTimeouts()) {
        return FailOpen(ZKLINK_E_IO, "SetCommTimeouts", GetLastError());
    }
    if (!PurgeComm(m_hSerial, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
        return FailOpen(ZKLINK_E_IO, "PurgeComm", GetLastError());
    }
    LayerLog(ZKLINK_LOG_STEPS, "Open: %s open at %d baud", m_strSerialPath, m_iBaud);
    return ZKLINK_OK;
}

int SerialWrite(const unsigned char* data, int length) {
    DWORD written = 0;
    if (!WriteFile(m_hSerial, data, static_cast<DWORD>(length), &written, nullptr)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Write: %s: %lu of %d bytes sent, then: %s", m_strSerialPath,
                 static_cast<unsigned long>(written), length, SystemErrorText(GetLastError()));
        return ZKLINK_E_IO;
    }
    if (written != static_cast<DWORD>(length)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Write: %s: only %lu of %d bytes sent within the time-out",
                 m_strSerialPath, static_cast<unsigned long>(written), length);
        return ZKLINK_E_TIMEOUT;
    }
    return ZKLINK_OK;
}

// A read waits for one byte, then takes exactly what the driver holds beside
// it: not every driver ends a larger read at the first byte (Wine waits for
// the whole request or the time-out), and a read must not sit on bytes that
// have arrived. Between quiet steps it looks at the line.
int SerialRead(unsigned char* buffer, int capacity, int* count) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(m_iReadMs);
    DWORD room = static_cast<DWORD>(capacity);
    for (;;) {
        DWORD got = 0;
        DWORD queued = 0;
        if (!ReadSome(buffer, 1, &got) || !QueuedBytes(&queued)) {
            return ZKLINK_E_IO;
        }
        if (got > 0) {
            DWORD more = 0;
            if (queued > 0 && room > 1 &&
                !ReadSome(buffer + 1, std::min(room - 1, queued), &more)) {
                return ZKLINK_E_IO;
            }
            *count = static_cast<int>(got + more);
            return ZKLINK_OK;
        }
        if (MillisecondsLeft(deadline) == 0) {
            return ZKLINK_OK;
        }
    }
}

void SerialClose() {
    if (m_hSerial == INVALID_HANDLE_VALUE) {
        return;
    }
    // Bytes still queued for the device may leave first, within a bound.
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(m_hSerial, &errors, &status) && status.cbOutQue > 0) {
        ULONGLONG deadline =
            GetTickCount64() + static_cast<ULONGLONG>(status.cbOutQue) * m_iDrainPerByteMs;
        while (MillisecondsLeft(deadline) > 0 && ClearCommError(m_hSerial, &errors, &status) &&
               status.cbOutQue > 0) {
            Sleep(static_cast<DWORD>(m_iCheckMs));
        }
    }
    ReleasePort();
}

void SerialForget() {
    SerialClose();
    m_strSerialPath[0] = '\0';
    m_iBaud = 0;
    m_iStopBits = 1;
    m_iDataBits = 7;
    m_iParity = 0;
    m_iFlowControl = kFlowRtsCts;
    m_iCheckMs = 10;
    m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
    m_iWritePerByteMs = 10;
    m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
    m_iDrainPerByteMs = 10;
}
