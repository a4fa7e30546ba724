// SPDX-License-Identifier: Apache-2.0
// The twelve entries: the current port's kind and state, the checks every
// entry makes before it touches a transport, and the transport picked once
// by kind at CreateCommunicationPort.
//
// A reader thread and a writer thread share the port: Write, Read and the
// time-out entries hold the port lock shared, every entry that changes the
// port holds it exclusive. An entry that closes the port first signals the
// stop event, so that a Read waiting for bytes ends now instead of at its
// time-out, and only then waits for the lock.
#include <cstring>
#include <initializer_list>

#include "ZkLinkInternal.h"

namespace {

SRWLOCK m_portLock = SRWLOCK_INIT;
INIT_ONCE m_stopEventOnce = INIT_ONCE_STATIC_INIT;
HANDLE m_hStopEvent = nullptr;
// The event's state, for the checks between steps that must cost no call
// into the system.
volatile LONG m_iStopping = 0;

// Null while no port exists.
const TransportOps* m_pTransport = nullptr;
int m_iPortKind = -1;
bool m_bPortOpen = false;
int m_iLastPortId = 0;

const TransportOps* TransportOfKind(int kind) {
    switch (kind) {
        case ZKLINK_KIND_SERIAL:
            return &kSerialTransport;
        case ZKLINK_KIND_TCP:
            return &kTcpTransport;
        case ZKLINK_KIND_USB:
            return &kUsbTransport;
        default:
            return nullptr;
    }
}

class SharedPortLock {
public:
    SharedPortLock() { AcquireSRWLockShared(&m_portLock); }
    ~SharedPortLock() { ReleaseSRWLockShared(&m_portLock); }
};

class ExclusivePortLock {
public:
    ExclusivePortLock() { AcquireSRWLockExclusive(&m_portLock); }
    ~ExclusivePortLock() { ReleaseSRWLockExclusive(&m_portLock); }
};

// Ends the waits of a Read or Write in progress on any transport.
void StopTransfers() {
    InterlockedExchange(&m_iStopping, 1);
    SetEvent(PortStopEvent());
    for (const TransportOps* transport : {&kSerialTransport, &kTcpTransport, &kUsbTransport}) {
        if (transport->Stop != nullptr) {
            transport->Stop();
        }
    }
}

// The lock of an entry that closes the port.
class ClosingPortLock {
public:
    ClosingPortLock() {
        StopTransfers();
        AcquireSRWLockExclusive(&m_portLock);
    }
    ~ClosingPortLock() { ReleaseSRWLockExclusive(&m_portLock); }
};

int Refuse(const char* entry, int code, const char* why) {
    LayerLog(ZKLINK_LOG_ERRORS, "%s: %s", entry, why);
    return code;
}

const char* KindName(const TransportOps* transport) {
    return transport != nullptr ? transport->name : "none";
}

// The port exists and is of kind; otherwise the entry's refusal.
int CheckKind(const char* entry, int kind) {
    if (m_pTransport == nullptr) {
        return Refuse(entry, ZKLINK_E_NO_PORT, "no port created");
    }
    if (m_iPortKind != kind) {
        LayerLog(ZKLINK_LOG_ERRORS, "%s: the current port is a %s port, not %s", entry,
                 KindName(m_pTransport), KindName(TransportOfKind(kind)));
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
    if (m_pTransport == nullptr) {
        return Refuse(entry, ZKLINK_E_NO_PORT, "no port created");
    }
    if (!m_bPortOpen) {
        return Refuse(entry, ZKLINK_E_NOT_OPEN, "the port is not open");
    }
    return ZKLINK_OK;
}

// With the port lock held exclusive.
void CloseCurrentPort() {
    if (m_pTransport == nullptr) {
        return;
    }
    if (m_bPortOpen) {
        LayerLog(ZKLINK_LOG_STEPS, "Close: %s port closed", m_pTransport->name);
    }
    m_pTransport->Close();
    m_bPortOpen = false;
}

void ForgetCurrentPort() {
    CloseCurrentPort();
    if (m_pTransport != nullptr) {
        m_pTransport->Forget();
    }
    m_pTransport = nullptr;
    m_iPortKind = -1;
}

BOOL CALLBACK MakeStopEvent(PINIT_ONCE, PVOID, PVOID*) {
    m_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return m_hStopEvent != nullptr;
}

// A refusal leaves the current port as it was, a Read in progress included.
int CheckCreateArguments(const TransportOps* transport, int logFlag, int logMask,
                         const char* logPath, const int* portId) {
    SharedPortLock lock;
    if (transport == nullptr) {
        return Refuse("CreateCommunicationPort", ZKLINK_E_ARGUMENT, "unknown port kind");
    }
    if (portId == nullptr || (logFlag != 0 && logFlag != 1) || logMask < 0 || logMask > 15) {
        return Refuse("CreateCommunicationPort", ZKLINK_E_ARGUMENT,
                      "null port id, or log flag or mask out of range");
    }
    if (logFlag == 1 && logPath != nullptr && strnlen(logPath, MAX_PATH) >= MAX_PATH) {
        return Refuse("CreateCommunicationPort", ZKLINK_E_ARGUMENT,
                      "the log path is MAX_PATH characters or longer");
    }
    return ZKLINK_OK;
}

}  // namespace

HANDLE PortStopEvent() {
    // Made once and kept for the life of the process: a closing thread may
    // signal it at any moment, so it must never go away under that thread.
    InitOnceExecuteOnce(&m_stopEventOnce, MakeStopEvent, nullptr, nullptr);
    return m_hStopEvent;
}

bool PortIsStopping() {
    return InterlockedCompareExchange(&m_iStopping, 0, 0) != 0;
}

int RefuseStopped(const char* entry) {
    return Refuse(entry, ZKLINK_E_NOT_OPEN, "the port was closed while the call waited");
}

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
    const TransportOps* transport = TransportOfKind(kind);
    int result = CheckCreateArguments(transport, logFlag, logMask, logPath, portId);
    if (result != ZKLINK_OK) {
        return result;
    }
    ClosingPortLock lock;
    ForgetCurrentPort();
    SetLayerLog(logFlag, logMask, logPath);
    // Forgetting is what gives a transport the defaults of a new port.
    transport->Forget();
    m_pTransport = transport;
    m_iPortKind = kind;
    *portId = ++m_iLastPortId;
    LayerLog(ZKLINK_LOG_STEPS, "CreateCommunicationPort: %s port, id %d", transport->name,
             m_iLastPortId);
    return ZKLINK_OK;
}

int InitSerialPort(const char* name, int baud, int stopBits, int dataBits, int parity,
                   int flowControl) {
    ExclusivePortLock lock;
    int result = CheckSetUpCall("InitSerialPort", ZKLINK_KIND_SERIAL);
    return result != ZKLINK_OK ? result
                               : SerialInit(name, baud, stopBits, dataBits, parity, flowControl);
}

int InitEthTCP(const char* host, int port) {
    ExclusivePortLock lock;
    int result = CheckSetUpCall("InitEthTCP", ZKLINK_KIND_TCP);
    return result != ZKLINK_OK ? result : TcpInit(host, port);
}

int InitUsbPrinter(const char* name) {
    ExclusivePortLock lock;
    int result = CheckSetUpCall("InitUsbPrinter", ZKLINK_KIND_USB);
    return result != ZKLINK_OK ? result : UsbInit(name);
}

int Open(void) {
    ExclusivePortLock lock;
    if (m_pTransport == nullptr) {
        return Refuse("Open", ZKLINK_E_NO_PORT, "no port created");
    }
    if (m_bPortOpen) {
        return Refuse("Open", ZKLINK_E_ALREADY_OPEN, "the port is open already");
    }
    if (!m_pTransport->IsSetUp()) {
        return Refuse("Open", ZKLINK_E_NOT_SET_UP, "the port was not set up by its Init entry");
    }
    if (PortStopEvent() == nullptr) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: CreateEvent failed: %s",
                 SystemErrorText(GetLastError()));
        return ZKLINK_E_IO;
    }
    ResetEvent(PortStopEvent());
    InterlockedExchange(&m_iStopping, 0);
    int result = m_pTransport->Open();
    m_bPortOpen = result == ZKLINK_OK;
    return result;
}

int SetSerialTimeout(int checkMs, int readMs, int writePerByteMs, int writeMs, int drainPerByteMs) {
    SharedPortLock lock;
    int result = CheckKind("SetSerialTimeout", ZKLINK_KIND_SERIAL);
    return result != ZKLINK_OK
               ? result
               : SerialSetTimeouts(checkMs, readMs, writePerByteMs, writeMs, drainPerByteMs);
}

int SetEthTimeout(int writeMs, int readMs) {
    SharedPortLock lock;
    int result = CheckKind("SetEthTimeout", ZKLINK_KIND_TCP);
    return result != ZKLINK_OK ? result : TcpSetTimeouts(writeMs, readMs);
}

int SetUsbTimeout(int writeMs, int readMs) {
    SharedPortLock lock;
    int result = CheckKind("SetUsbTimeout", ZKLINK_KIND_USB);
    return result != ZKLINK_OK ? result : UsbSetTimeouts(writeMs, readMs);
}

int Write(const unsigned char* data, int length) {
    SharedPortLock lock;
    if (length < 0 || (data == nullptr && length > 0)) {
        return Refuse("Write", ZKLINK_E_ARGUMENT, "negative length, or no data");
    }
    int result = CheckOpen("Write");
    if (result != ZKLINK_OK || length == 0) {
        return result;
    }
    result = m_pTransport->Write(data, length);
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
    SharedPortLock lock;
    if (buffer == nullptr || count == nullptr || capacity < 0) {
        return Refuse("Read", ZKLINK_E_ARGUMENT, "null buffer or count, or negative capacity");
    }
    int result = CheckOpen("Read");
    if (result != ZKLINK_OK || capacity == 0) {
        return result;
    }
    int got = 0;
    result = m_pTransport->Read(buffer, capacity, &got);
    if (result != ZKLINK_OK) {
        return result;
    }
    *count = got;
    LayerLog(ZKLINK_LOG_TRANSFERS, "Read: %d bytes received", got);
    LayerLogBytes("Read", buffer, got);
    return ZKLINK_OK;
}

int Close(void) {
    ClosingPortLock lock;
    CloseCurrentPort();
    return ZKLINK_OK;
}

int DeleteAllLayerItems(void) {
    ClosingPortLock lock;
    if (m_pTransport != nullptr) {
        LayerLog(ZKLINK_LOG_STEPS, "DeleteAllLayerItems: port %d forgotten", m_iLastPortId);
    }
    ForgetCurrentPort();
    ForgetLayerLog();
    return ZKLINK_OK;
}

}  // extern "C"
