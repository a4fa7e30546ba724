// SPDX-License-Identifier: Apache-2.0
// The serial transport: a COM port opened exclusively, set up by
// SetCommState, read and written under COMMTIMEOUTS so that no wait outlasts
// the time-outs the caller set. The handle is synchronous: Wine completes
// overlapped reads of a serial line a third of a millisecond late, ten times
// the cost of the reply itself. A read waits in steps of checkMs, and between
// steps it looks at the line and at the stop event; where the system runs the
// calls on one handle one after another, a write waits at most one step.
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

// The settings of a port; SerialForget gives a new port its defaults.
char m_strSerialPath[MAX_PATH];
int m_iBaud;
int m_iStopBits;
int m_iDataBits;
int m_iParity;
int m_iFlowControl;

// The time-out entry sets these while a Read or Write may be reading them.
volatile LONG m_iCheckMs;
volatile LONG m_iReadMs;
volatile LONG m_iWritePerByteMs;
volatile LONG m_iWriteMs;
volatile LONG m_iDrainPerByteMs;

ScopedFile m_serial;
// Held while the port is open: a system-wide name for the port, so that two
// programs using this layer never share one, even where a driver lets a
// second open of the device through.
ScopedObject m_portLock;

DWORD ValueOf(volatile LONG* value) {
    return static_cast<DWORD>(InterlockedCompareExchange(value, 0, 0));
}

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
    m_serial.Reset(INVALID_HANDLE_VALUE);
    m_portLock.Reset(nullptr);
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
// backslashes that kernel object names may not hold. A lock held by another
// program, or made by one under another account (access denied), means the
// port is in use; a lock that cannot be made at all must not let the port be
// shared unguarded, so it fails the open.
int TakePortLock() {
    char name[MAX_PATH + 32] = "Global\\ZkLink64 port ";
    size_t at = strlen(name);
    for (const char* c = m_strSerialPath; *c != '\0' && at + 1 < sizeof name; ++c) {
        name[at++] = *c == '\\' ? '_' : static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    }
    name[at] = '\0';
    SetLastError(ERROR_SUCCESS);
    m_portLock.Reset(CreateMutexA(nullptr, FALSE, name));
    DWORD error = GetLastError();
    if (m_portLock.IsValid() && error != ERROR_ALREADY_EXISTS) {
        return ZKLINK_OK;
    }
    if (m_portLock.IsValid() || error == ERROR_ACCESS_DENIED) {
        return RefuseInUse(m_portLock.IsValid() ? ERROR_SHARING_VIOLATION : error);
    }
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: the port lock \"%s\" cannot be made: %s",
             m_strSerialPath, name, SystemErrorText(error));
    ReleasePort();
    return ZKLINK_E_IO;
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
    if (SetCommState(m_serial.Get(), &line)) {
        return true;
    }
    // A line left by the program before can make the change refused (Wine
    // over a pseudo-terminal keeps a stray odd-parity flag that it then
    // rejects). A plain 8N1 line first clears such state; one retry only.
    DCB plain = line;
    plain.ByteSize = 8;
    plain.Parity = NOPARITY;
    plain.fParity = FALSE;
    return SetCommState(m_serial.Get(), &plain) && SetCommState(m_serial.Get(), &line);
}

// A read returns as soon as one byte is there, and waits at most one check
// step for it; the read loop checks the line between steps. A read time-out
// of 0 takes what is there and never waits.
bool ApplyTimeouts() {
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    DWORD readMs = ValueOf(&m_iReadMs);
    DWORD checkMs = ValueOf(&m_iCheckMs);
    DWORD writeMs = ValueOf(&m_iWriteMs);
    if (readMs > 0) {
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = readMs < checkMs ? readMs : checkMs;
    }
    // Zero in both write fields would mean "no limit at all".
    timeouts.WriteTotalTimeoutConstant = writeMs > 0 ? writeMs : 1;
    timeouts.WriteTotalTimeoutMultiplier = ValueOf(&m_iWritePerByteMs);
    return SetCommTimeouts(m_serial.Get(), &timeouts) != 0;
}

// The number of bytes the driver holds for us. A break or a framing error
// means the line is broken, not merely quiet; a port whose state cannot be
// read any more has gone (a USB adapter pulled, a terminal hung up). Either
// is logged and answered false.
bool QueuedBytes(DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(m_serial.Get(), &errors, &status)) {
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

// One ReadFile or WriteFile, which the COMMTIMEOUTS bound. False when the
// port failed or is closing, with the entry's answer in result.
bool LineTransfer(const char* entry, bool write, void* buffer, DWORD size, DWORD* moved,
                  int* result) {
    *moved = 0;
    if (PortIsStopping()) {
        *result = RefuseStopped(entry);
        return false;
    }
    BOOL done = write ? WriteFile(m_serial.Get(), buffer, size, moved, nullptr)
                      : ReadFile(m_serial.Get(), buffer, size, moved, nullptr);
    if (!done) {
        DWORD error = GetLastError();
        // A terminal hung up or an adapter pulled fails the transfer itself.
        bool gone = error == ERROR_BROKEN_PIPE || error == ERROR_DEVICE_NOT_CONNECTED ||
                    error == ERROR_DEVICE_REMOVED;
        LayerLog(ZKLINK_LOG_ERRORS, "%s: %s%s: %s", entry, m_strSerialPath, gone ? " is gone" : "",
                 SystemErrorText(error));
        *result = ZKLINK_E_IO;
        return false;
    }
    return true;
}

bool SerialIsSetUp() {
    return m_strSerialPath[0] != '\0';
}

int SerialOpen();
int SerialWrite(const unsigned char* data, int length);
int SerialRead(unsigned char* buffer, int capacity, int* count);
void SerialClose();
void SerialForget();

}  // namespace

const TransportOps kSerialTransport = {"serial",   SerialIsSetUp, SerialOpen,  SerialWrite,
                                       SerialRead, nullptr,       SerialClose, SerialForget};

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
    InterlockedExchange(&m_iCheckMs, checkMs);
    InterlockedExchange(&m_iReadMs, readMs);
    InterlockedExchange(&m_iWritePerByteMs, writePerByteMs);
    InterlockedExchange(&m_iWriteMs, writeMs);
    InterlockedExchange(&m_iDrainPerByteMs, drainPerByteMs);
    LayerLog(ZKLINK_LOG_STEPS, "SetSerialTimeout: read %d ms, write %d ms + %d ms a byte", readMs,
             writeMs, writePerByteMs);
    if (m_serial.IsValid() && !ApplyTimeouts()) {
        LayerLog(ZKLINK_LOG_ERRORS, "SetSerialTimeout: SetCommTimeouts failed: %s",
                 SystemErrorText(GetLastError()));
        return ZKLINK_E_IO;
    }
    return ZKLINK_OK;
}

namespace {

int SerialOpen() {
    int result = TakePortLock();
    if (result != ZKLINK_OK) {
        return result;
    }
    m_serial.Reset(CreateFileA(m_strSerialPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_serial.IsValid()) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return RefuseInUse(error);
        }
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return FailOpen(missing ? ZKLINK_E_NOT_FOUND : ZKLINK_E_IO, "CreateFile", error);
    }
    if (!SetupComm(m_serial.Get(), kQueueSize, kQueueSize)) {
        return FailOpen(ZKLINK_E_IO, "SetupComm", GetLastError());
    }
    if (!ApplyLineSettings()) {
        return FailOpen(ZKLINK_E_SETTINGS, "SetCommState", GetLastError());
    }
    if (!ApplyTimeouts()) {
        return FailOpen(ZKLINK_E_IO, "SetCommTimeouts", GetLastError());
    }
    if (!PurgeComm(m_serial.Get(), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
        return FailOpen(ZKLINK_E_IO, "PurgeComm", GetLastError());
    }
    LayerLog(ZKLINK_LOG_STEPS, "Open: %s open at %d baud", m_strSerialPath, m_iBaud);
    return ZKLINK_OK;
}

int SerialWrite(const unsigned char* data, int length) {
    DWORD written = 0;
    int result = ZKLINK_OK;
    if (!LineTransfer("Write", true, const_cast<unsigned char*>(data), static_cast<DWORD>(length),
                      &written, &result)) {
        return result;
    }
    if (written != static_cast<DWORD>(length)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Write: %s: only %lu of %d bytes sent within the time-out",
                 m_strSerialPath, static_cast<unsigned long>(written), length);
        return ZKLINK_E_TIMEOUT;
    }
    return ZKLINK_OK;
}

// A read takes exactly what the driver holds, at most the room it has: not
// every driver ends a larger read at the first byte (Wine waits for the whole
// request or the time-out), and a read must not sit on bytes that have
// arrived. Asking first makes a reply that is already there cost two driver
// calls; under Wine each is a trip to its server. On a quiet line it waits
// one check step for a single byte, then asks again, and looks at the line
// each time it asks.
int SerialRead(unsigned char* buffer, int capacity, int* count) {
    ULONGLONG deadline = GetTickCount64() + ValueOf(&m_iReadMs);
    DWORD room = static_cast<DWORD>(capacity);
    DWORD got = 0;
    for (;;) {
        DWORD queued = 0;
        if (!QueuedBytes(&queued)) {
            return ZKLINK_E_IO;
        }
        DWORD moved = 0;
        int result = ZKLINK_OK;
        if (got > 0 || queued > 0) {
            DWORD take = std::min(room - got, queued);
            if (take > 0 && !LineTransfer("Read", false, buffer + got, take, &moved, &result)) {
                return result;
            }
            *count = static_cast<int>(got + moved);
            return ZKLINK_OK;
        }
        if (!LineTransfer("Read", false, buffer, 1, &moved, &result)) {
            return result;
        }
        got = moved;
        if (got == 0 && MillisecondsLeft(deadline) == 0) {
            return ZKLINK_OK;
        }
    }
}

void SerialClose() {
    if (!m_serial.IsValid()) {
        return;
    }
    // Bytes still queued for the device may leave first, within a bound.
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(m_serial.Get(), &errors, &status) && status.cbOutQue > 0) {
        ULONGLONG deadline = GetTickCount64() +
                             static_cast<ULONGLONG>(status.cbOutQue) * ValueOf(&m_iDrainPerByteMs);
        while (MillisecondsLeft(deadline) > 0 && ClearCommError(m_serial.Get(), &errors, &status) &&
               status.cbOutQue > 0) {
            Sleep(ValueOf(&m_iCheckMs));
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

}  // namespace
