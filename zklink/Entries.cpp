// SPDX-License-Identifier: Apache-2.0
// The twelve entries: the current port's kind and state, the checks every
// entry makes before it touches a transport, and the dispatch by kind.
#include <cstring>

#include "ZkLinkInternal.h"

namespace {

const int kNoPort = -1;

int m_iPortKind = kNoPort;
bool m_bPortOpen = false;
int m_iLastPortId = 0;

const char* KindName(int kind) {
    switch (kind) {
        case ZKLINK_KIND_SERIAL:
            return "serial";
        case ZKLINK_KIND_TCP:
            return "TCP";
        case ZKLINK_KIND_USB:
            return "USB";
        default:
            return "none";
    }
}

int Refuse(const char* entry, int code, const char* why) {
    LayerLog(ZKLINK_LOG_ERRORS, "%s: %s", entry, why);
    return code;
}

// The port exists and is of kind; otherwise the entry's refusal.
int CheckKind(const char* entry, int kind) {
    if (m_iPortKind == kNoPort) {
        return Refuse(entry, ZKLINK_E_NO_PORT, "no port created");
    }
    if (m_iPortKind != kind) {
        LayerLog(ZKLINK_LOG_ERRORS, "%s: the current port is a %s port, not %s", entry,
                 KindName(m_iPortKind), KindName(kind));
        return ZKLINK_E_WRONG_KIND;
    }
    return ZKLINK_OK;
}

int CheckSetUpCall(const char* entry, int kind) {
    int result = CheckKind(entry, kind);
    if (result == ZKLINK_OK && m_bPortOpen) {
        return Refuse(entry, ZKLINK_E_ALREADY_OPEN, "the port is open; Close it first");
    }
    return result;
}

int CheckOpen(const char* entry) {
    if (m_iPortKind == kNoPort) {
        return Refuse(entry, ZKLINK_E_NO_PORT, "no port created");
    }
    if (!m_bPortOpen) {
        return Refuse(entry, ZKLINK_E_NOT_OPEN, "the port is not open");
    }
    return ZKLINK_OK;
}

void CloseCurrentPort() {
    if (m_bPortOpen) {
        LayerLog(ZKLINK_LOG_STEPS, "Close: %s port closed", KindName(m_iPortKind));
    }
    SerialClose();
    TcpClose();
    UsbClose();
    m_bPortOpen = false;
}

void ForgetCurrentPort() {
    CloseCurrentPort();
    SerialForget();
    TcpForget();
    UsbForget();
    m_iPortKind = kNoPort;
}

bool CurrentPortIsSetUp() {
    switch (m_iPortKind) {
        case ZKLINK_KIND_SERIAL:
            return SerialIsSetUp();
        case ZKLINK_KIND_TCP:
            return TcpIsSetUp();
        default:
            return UsbIsSetUp();
    }
}

}  // namespace

bool TimeoutsInRange(const char* entry, int writeMs, int readMs) {
    if (writeMs < 0 || writeMs > ZKLINK_MAX_TIMEOUT_MS || readMs < 0 ||
        readMs > ZKLINK_MAX_TIMEOUT_MS) {
        LayerLog(ZKLINK_LOG_ERRORS, "%s: out of range: write %d, read %d", entry, writeMs, readMs);
        return false;
    }
    return true;
}

extern "C" {

int CreateCommunicationPort(int kind, int logFlag, int logMask, const char* logPath, int* portId) {
    if (kind != ZKLINK_KIND_SERIAL && kind != ZKLINK_KIND_TCP && kind != ZKLINK_KIND_USB) {
        return Refuse("CreateCommunicationPort", ZKLINK_E_ARGUMENT, "unknown port kind");
    }
    if (portId == nullptr || (logFlag != 0 && logFlag != 1) || logMask < 0 || logMask > 15) {
        return Refuse("CreateCommunicationPort", ZKLINK_E_ARGUMENT,
                      "null port id, or log flag or mask out of range");
    }
    ForgetCurrentPort();
    SetLayerLog(logFlag, logMask, logPath);
    m_iPortKind = kind;
    *portId = ++m_iLastPortId;
    LayerLog(ZKLINK_LOG_STEPS, "CreateCommunicationPort: %s port, id %d", KindName(kind),
             m_iLastPortId);
    return ZKLINK_OK;
}

int InitSerialPort(const char* name, int baud, int stopBits, int dataBits, int parity,
                   int flowControl) {
    int result = CheckSetUpCall("InitSerialPort", ZKLINK_KIND_SERIAL);
    return result != ZKLINK_OK ? result
                               : SerialInit(name, baud, stopBits, dataBits, parity, flowControl);
}

int InitEthTCP(const char* host, int port) {
    int result = CheckSetUpCall("InitEthTCP", ZKLINK_KIND_TCP);
    return result != ZKLINK_OK ? result : TcpInit(host, port);
}

int InitUsbPrinter(const char* name) {
    int result = CheckSetUpCall("InitUsbPrinter", ZKLINK_KIND_USB);
    return result != ZKLINK_OK ? result : UsbInit(name);
}

int Open(void) {
    if (m_iPortKind == kNoPort) {
        return Refuse("Open", ZKLINK_E_NO_PORT, "no port created");
    }
    if (m_bPortOpen) {
        return Refuse("Open", ZKLINK_E_ALREADY_OPEN, "the port is open already");
    }
    if (!CurrentPortIsSetUp()) {
        return Refuse("Open", ZKLINK_E_NOT_SET_UP, "the port was not set up by its Init entry");
    }
    int result = m_iPortKind == ZKLINK_KIND_SERIAL ? SerialOpen()
                 : m_iPortKind == ZKLINK_KIND_TCP  ? TcpOpen()
                                                   : UsbOpen();
    m_bPortOpen = result == ZKLINK_OK;
    return result;
}

int SetSerialTimeout(int checkMs, int readMs, int writePerByteMs, int writeMs, int drainPerByteMs) {
    int result = CheckKind("SetSerialTimeout", ZKLINK_KIND_SERIAL);
    return result != ZKLINK_OK
               ? result
               : SerialSetTimeouts(checkMs, readMs, writePerByteMs, writeMs, drainPerByteMs);
}

int SetEthTimeout(int writeMs, int readMs) {
    int result = CheckKind("SetEthTimeout", ZKLINK_KIND_TCP);
    return result != ZKLINK_OK ? result : TcpSetTimeouts(writeMs, readMs);
}

int SetUsbTimeout(int writeMs, int readMs) {
    int result = CheckKind("SetUsbTimeout", ZKLINK_KIND_USB);
    return result != ZKLINK_OK ? result : UsbSetTimeouts(writeMs, readMs);
}

int Write(const unsigned char* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) {
        return Refuse("Write", ZKLINK_E_ARGUMENT, "negative length, or no data");
    }
    int result = CheckOpen("Write");
    if (result != ZKLINK_OK || length == 0) {
        return result;
    }
    result = m_iPortKind == ZKLINK_KIND_SERIAL ? SerialWrite(data, length)
             : m_iPortKind == ZKLINK_KIND_TCP  ? TcpWrite(data, length)
                                               : UsbWrite(data, length);
    if (result == ZKLINK_OK) {
        LayerLog(ZKLINK_LOG_TRANSFERS, "Write: %d bytes sent", length);
        LayerLogBytes("Write", data, length);
    }
    return result;
}

int Read(unsigned char* buffer, int capacity, int* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (buffer == nullptr || count == nullptr || capacity < 0) {
        return Refuse("Read", ZKLINK_E_ARGUMENT, "null buffer or count, or negative capacity");
    }
    int result = CheckOpen("Read");
    if (result != ZKLINK_OK || capacity == 0) {
        return result;
    }
    result = m_iPortKind == ZKLINK_KIND_SERIAL ? SerialRead(buffer, capacity, count)
             : m_iPortKind == ZKLINK_KIND_TCP  ? TcpRead(buffer, capacity, count)
                                               : UsbRead(buffer, capacity, count);
    if (result != ZKLINK_OK) {
        *count = 0;
        return result;
    }
    LayerLog(ZKLINK_LOG_TRANSFERS, "Read: %d bytes received", *count);
    LayerLogBytes("Read", buffer, *count);
    return ZKLINK_OK;
}

int Close(void) {
    CloseCurrentPort();
    return ZKLINK_OK;
}

int DeleteAllLayerItems(void) {
    if (m_iPortKind != kNoPort) {
        LayerLog(ZKLINK_LOG_STEPS, "DeleteAllLayerItems: port %d forgotten", m_iLastPortId);
    }
    ForgetCurrentPort();
    ForgetLayerLog();
    return ZKLINK_OK;
}

}  // extern "C"
