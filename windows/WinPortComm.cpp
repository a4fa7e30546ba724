// SPDX-License-Identifier: Apache-2.0
// The native methods of com.zelkor.jpos.services.WinPortComm and the port
// state they share. The DLL does no port work itself: these functions take the
// Java arguments apart, drive the communication layer through the binding,
// and trace each step.
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "ZkPosDll.h"

#define OPEN_DEVICE "Java_com_zelkor_jpos_services_WinPortComm_openDevice: "
#define CLOSE_DEVICE "Java_com_zelkor_jpos_services_WinPortComm_closeDevice: "
#define READ_DATA "Java_com_zelkor_jpos_services_WinPortComm_readData: "
#define WRITE_DATA "Java_com_zelkor_jpos_services_WinPortComm_writeData: "
#define SET_DEVICE_TIMEOUT "Java_com_zelkor_jpos_services_WinPortComm_SetDeviceTimeout: "
#define SET_DEVICE_BUFFER "Java_com_zelkor_jpos_services_WinPortComm_SetDeviceBuffer: "

int32_t m_iPortType = ZKPOS_PORT_NONE;
int32_t m_iReadTimeoutMs = ZKPOS_DEFAULT_TIMEOUT_SEC * 1000;
int32_t m_iWriteTimeoutMs = ZKPOS_DEFAULT_TIMEOUT_SEC * 1000;
int32_t m_iReadBufferSize = ZKPOS_DEFAULT_BUFFER_SIZE;
int32_t m_iWriteBufferSize = ZKPOS_DEFAULT_BUFFER_SIZE;
unsigned char* m_pReadBuffer = nullptr;
int32_t m_bPortOpened = 0;
int32_t m_iPortId = 0;
char* m_pPortName = nullptr;

namespace {

// The line these devices use, in the terms of InitSerialPort: 1 stop bit,
// 7 data bits, odd parity (0), RTS/CTS hardware handshake (0).
const int kSerialStopBits = 1;
const int kSerialDataBits = 7;
const int kSerialParityOdd = 0;
const int kSerialFlowRtsCts = 0;

bool SameTextIgnoringCase(const char* text, const char* name) {
    for (; *text != '\0' && *name != '\0'; ++text, ++name) {
        char a = *text >= 'A' && *text <= 'Z' ? *text - 'A' + 'a' : *text;
        char b = *name >= 'A' && *name <= 'Z' ? *name - 'A' + 'a' : *name;
        if (a != b) {
            return false;
        }
    }
    return *text == *name;
}

// Seconds from Java to the layer's milliseconds; values beyond the 32-bit
// range stick at its ends rather than wrap to another sign.
int32_t SecondsToMilliseconds(jlong seconds) {
    int64_t milliseconds = static_cast<int64_t>(static_cast<int32_t>(seconds)) * 1000;
    if (milliseconds > INT32_MAX) {
        return INT32_MAX;
    }
    if (milliseconds < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(milliseconds);
}

// The read buffer carries a header in front of its bytes. A readData holds
// the buffer it started with by counting itself in; a buffer replaced by
// SetDeviceBuffer or freed by closeDevice meanwhile is only marked retired,
// and the last reader to let go frees it. So the layer never fills memory
// that is gone, and a read whose buffer was retired answers null.
struct ReadBufferHeader {
    int readers;
    bool retired;
    // Keeps the bytes after the header aligned for any use.
    alignas(16) unsigned char bytes[1];
};

SRWLOCK m_readBufferLock = SRWLOCK_INIT;

ReadBufferHeader* HeaderOf(unsigned char* bytes) {
    return reinterpret_cast<ReadBufferHeader*>(bytes - offsetof(ReadBufferHeader, bytes));
}

// With m_readBufferLock held.
void RetireReadBuffer() {
    if (m_pReadBuffer == nullptr) {
        return;
    }
    ReadBufferHeader* header = HeaderOf(m_pReadBuffer);
    header->retired = true;
    if (header->readers == 0) {
        free(header);
    }
    m_pReadBuffer = nullptr;
}

void FreeReadBuffer() {
    AcquireSRWLockExclusive(&m_readBufferLock);
    RetireReadBuffer();
    ReleaseSRWLockExclusive(&m_readBufferLock);
}

// A read size below zero would ask for nearly 4 GiB; it leaves no buffer, and
// reads fail until a usable size comes.
void CreateReadBuffer(int32_t size) {
    AcquireSRWLockExclusive(&m_readBufferLock);
    RetireReadBuffer();
    m_iReadBufferSize = size;
    if (size >= 0) {
        // One byte more than asked, so that a size of 0 still gives a buffer.
        auto* header = static_cast<ReadBufferHeader*>(
            calloc(offsetof(ReadBufferHeader, bytes) + static_cast<size_t>(size) + 1, 1));
        m_pReadBuffer = header != nullptr ? header->bytes : nullptr;
    }
    ReleaseSRWLockExclusive(&m_readBufferLock);
}

// The current buffer and its capacity, held for one read; null when there
// is none.
unsigned char* HoldReadBuffer(int32_t* capacity) {
    AcquireSRWLockExclusive(&m_readBufferLock);
    unsigned char* bytes = m_pReadBuffer;
    *capacity = m_iReadBufferSize;
    if (bytes != nullptr) {
        ++HeaderOf(bytes)->readers;
    }
    ReleaseSRWLockExclusive(&m_readBufferLock);
    return bytes;
}

bool ReadBufferIsRetired(unsigned char* bytes) {
    AcquireSRWLockShared(&m_readBufferLock);
    bool retired = HeaderOf(bytes)->retired;
    ReleaseSRWLockShared(&m_readBufferLock);
    return retired;
}

void LetGoOfReadBuffer(unsigned char* bytes) {
    AcquireSRWLockExclusive(&m_readBufferLock);
    ReadBufferHeader* header = HeaderOf(bytes);
    if (--header->readers == 0 && header->retired) {
        free(header);
    }
    ReleaseSRWLockExclusive(&m_readBufferLock);
}

void FreePortName() {
    free(m_pPortName);
    m_pPortName = nullptr;
}

// Ends the use of the layer: its port, its items and our hold on it. The
// layer's Close ends a read in progress; the read buffer and the port name go
// after it, since the layer may use both until its port is closed.
void ReleasePort() {
    CommunicationDll_Release();
    FreeReadBuffer();
    FreePortName();
}

// The layer may keep the port name's pointer beyond the call that hands it
// over, so the name lives in our own copy until the port is released or the
// layer has created the port that replaces it. Null when out of memory.
const char* KeepPortName(const char* portName) {
    FreePortName();
    size_t size = strlen(portName) + 1;
    m_pPortName = static_cast<char*>(malloc(size));
    if (m_pPortName != nullptr) {
        memcpy(m_pPortName, portName, size);
    }
    return m_pPortName;
}

// Every failure of an open ends the same way: the reason, the END line and
// -1. Nothing done before the failing step is undone.
jlong FailOpen(int level, const char* reason) {
    PrintTrace(level, "%s", reason);
    PrintTrace(3, OPEN_DEVICE "END");
    return -1;
}

// Hands the port name (and for a serial line the speed) to the port the layer
// has just created, in the way its kind needs.
int InitPort(const char* portName, jint baudRate) {
    const char* keptPortName = KeepPortName(portName);
    if (keptPortName == nullptr) {
        return -1;
    }
    switch (m_iPortType) {
        case ZKPOS_PORT_RS232:
            return CommunicationDll_Serial_Init(keptPortName, baudRate, kSerialStopBits,
                                                kSerialDataBits, kSerialParityOdd,
                                                kSerialFlowRtsCts);
        case ZKPOS_PORT_ETHERNET:
            return CommunicationDll_Eth_Init(keptPortName);
        default:
            return CommunicationDll_Usb_Init(keptPortName);
    }
}

// Pushes the stored time-outs to the layer's entry for the port kind; tag
// names the kind in the trace, null with no kind (and then nothing is called).
int ApplyTimeouts(const char** tag) {
    switch (m_iPortType) {
        case ZKPOS_PORT_RS232:
            *tag = OPEN_DEVICE "COM Port Timeout Set (COM)";
            return CommunicationDll_Serial_SetTimeout(m_iWriteTimeoutMs, m_iReadTimeoutMs);
        case ZKPOS_PORT_ETHERNET:
            *tag = OPEN_DEVICE "COM Port Timeout Set (ETH)";
            return CommunicationDll_Eth_SetTimeout(m_iWriteTimeoutMs, m_iReadTimeoutMs);
        case ZKPOS_PORT_USB:
            *tag = OPEN_DEVICE "COM Port Timeout Set (USB)";
            return CommunicationDll_Usb_SetTimeout(m_iWriteTimeoutMs, m_iReadTimeoutMs);
        default:
            *tag = nullptr;
            return -1;
    }
}

// The open from the recognition of the kind on, with both Java texts at hand.
jlong OpenPort(const char* deviceBus, const char* portName, jint baudRate) {
    PrintTrace(5, OPEN_DEVICE "DeviceBus = %s", deviceBus);
    PrintTrace(5, OPEN_DEVICE "portName = %s", portName);
    m_iPortType = GetDevicePort(deviceBus);
    if (m_iPortType == ZKPOS_PORT_NONE) {
        return FailOpen(1, OPEN_DEVICE "ERROR, Port non Recognized");
    }
    PrintTrace(5, OPEN_DEVICE "Recognized %d Port Type", m_iPortType);
    if (CommunicationDll_CreatePort(m_iPortType) != 0) {
        return FailOpen(1, OPEN_DEVICE "ERROR Create Port on Com DLL");
    }
    PrintTrace(2, OPEN_DEVICE "Create Port on Com DLL");
    PrintTrace(3, OPEN_DEVICE "Create Port on Com DLL with %d ID", m_iPortId);
    if (InitPort(portName, baudRate) != 0) {
        return FailOpen(1, OPEN_DEVICE "ERROR Init Port on Com DLL");
    }
    PrintTrace(2, OPEN_DEVICE "Init Port on Com DLL");
    if (CommunicationDll_Open() != 0) {
        return FailOpen(1, OPEN_DEVICE "ERROR Open Port on Com DLL");
    }
    PrintTrace(2, OPEN_DEVICE "Open Port on Com DLL");
    // Set before the time-outs: a port that is open in the layer must be
    // released by the next open, even when its time-outs fail below.
    m_bPortOpened = 1;
    const char* tag = nullptr;
    if (ApplyTimeouts(&tag) != 0) {
        return FailOpen(1, OPEN_DEVICE "ERROR Set Timeouts on Com DLL");
    }
    PrintTrace(2, OPEN_DEVICE "Set Timeouts on Com DLL");
    CreateReadBuffer(m_iReadBufferSize);
    PrintTrace(3, OPEN_DEVICE "END");
    return 0;
}

}  // namespace

int GetDevicePort(const char* deviceBus) {
    if (SameTextIgnoringCase(deviceBus, "RS232")) {
        PrintTrace(2, "GetDevicePort: COM PORT Recognized");
        return ZKPOS_PORT_RS232;
    }
    if (SameTextIgnoringCase(deviceBus, "Ethernet")) {
        PrintTrace(2, "GetDevicePort: ETH PORT Recognized");
        return ZKPOS_PORT_ETHERNET;
    }
    if (SameTextIgnoringCase(deviceBus, "USB")) {
        PrintTrace(2, "GetDevicePort: USB PORT Recognized");
        return ZKPOS_PORT_USB;
    }
    PrintTrace(2, "GetDevicePort: PORT  NOT Recognized");
    return ZKPOS_PORT_NONE;
}

JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_WinPortComm_openDevice(
    JNIEnv* env, jobject, jstring deviceBus, jstring portName, jint baudRate, jboolean debug,
    jint verbosity) {
    char version[ZKPOS_VERSION_TEXT_SIZE] = "";
    GetDllVersion(version);
    m_iTraceLevel = debug ? verbosity : 0;
    InitLogPaths();
    PrintTrace(3, OPEN_DEVICE "START");
    PrintTrace(3, OPEN_DEVICE "DLL version %s", version);
    if (m_bPortOpened != 0) {
        PrintTrace(3, OPEN_DEVICE "DLL Already Opened. Close it");
        ReleasePort();
    }
    if (CommunicationDll_Load() != 0) {
        return FailOpen(2, OPEN_DEVICE "ERROR Init " ZKPOS_COMMUNICATION_DLL_NAME);
    }
    PrintTrace(2, OPEN_DEVICE "Init Com DLL");
    // A JVM crashes on a null string handed to GetStringUTFChars.
    if (deviceBus == nullptr || portName == nullptr) {
        return FailOpen(1, OPEN_DEVICE "ERROR Null DeviceBus or portName");
    }
    const char* deviceBusText = env->GetStringUTFChars(deviceBus, nullptr);
    // After a failed conversion the VM's exception is pending, and no JNI call
    // but clearing it may come first.
    const char* portNameText =
        deviceBusText != nullptr ? env->GetStringUTFChars(portName, nullptr) : nullptr;
    jlong result = -1;
    if (portNameText == nullptr) {
        env->ExceptionClear();
        result = FailOpen(1, OPEN_DEVICE "ERROR Init Port on Com DLL");
    } else {
        result = OpenPort(deviceBusText, portNameText, baudRate);
        env->ReleaseStringUTFChars(portName, portNameText);
    }
    if (deviceBusText != nullptr) {
        env->ReleaseStringUTFChars(deviceBus, deviceBusText);
    }
    return result;
}

JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_WinPortComm_closeDevice(JNIEnv*, jobject) {
    PrintTrace(3, CLOSE_DEVICE "START");
    ReleasePort();
    PrintTrace(3, CLOSE_DEVICE "END");
    return 0;
}

JNIEXPORT jbyteArray JNICALL Java_com_zelkor_jpos_services_WinPortComm_readData(JNIEnv* env,
                                                                                jobject, jlong) {
    PrintTrace(3, READ_DATA "START");
    int count = 0;
    int32_t capacity = 0;
    // Without a buffer the layer is not asked at all: it would be handed a
    // null buffer with a capacity it could write into.
    unsigned char* buffer = HoldReadBuffer(&capacity);
    bool read = buffer != nullptr && CommunicationDll_Read(buffer, &count, capacity) == 0 &&
                count >= 0 && count <= capacity && !ReadBufferIsRetired(buffer);
    if (!read) {
        if (buffer != nullptr) {
            LetGoOfReadBuffer(buffer);
        }
        PrintTrace(3, READ_DATA "Read Error");
        PrintTrace(3, READ_DATA "END");
        return nullptr;
    }
    PrintTrace(5, READ_DATA "Read %d Bytes", count);
    jbyteArray bytes = env->NewByteArray(count);
    if (bytes == nullptr) {
        LetGoOfReadBuffer(buffer);
        // The VM could not make the array; the caller learns it as a failed
        // read, not as an exception from a native method.
        env->ExceptionClear();
        PrintTrace(1, READ_DATA "ERROR New Array of %d Bytes", count);
        PrintTrace(3, READ_DATA "END");
        return nullptr;
    }
    env->SetByteArrayRegion(bytes, 0, count, reinterpret_cast<const jbyte*>(buffer));
    LetGoOfReadBuffer(buffer);
    // Deliberately no END line here: a successful read ends with its "Read"
    // line, as the trace has always shown it and log readers expect.
    return bytes;
}

JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_WinPortComm_writeData(JNIEnv* env, jobject,
                                                                            jbyteArray data,
                                                                            jlong size) {
    PrintTrace(3, WRITE_DATA "START");
    PrintTrace(5, WRITE_DATA "(B)Buffer Size = %d", static_cast<int>(size));
    if (data == nullptr) {
        PrintTrace(3, WRITE_DATA "Write Error");
        PrintTrace(3, WRITE_DATA "END");
        return -1;
    }
    jsize length = env->GetArrayLength(data);
    int count = size > 0 ? static_cast<int>(size) : length;
    // The layer reads count bytes from the array's elements: never more than
    // the array holds.
    if (count < 0 || count > length) {
        count = length;
    }
    PrintTrace(5, WRITE_DATA "(A)Buffer Size = %d", count);

    jbyte* elements = env->GetByteArrayElements(data, nullptr);
    int result = -1;
    if (elements == nullptr) {
        env->ExceptionClear();
    } else {
        result = CommunicationDll_Write(reinterpret_cast<const unsigned char*>(elements), count);
    }
    if (result != 0) {
        PrintTrace(3, WRITE_DATA "Write Error");
    } else {
        PrintTrace(5, WRITE_DATA "Write %d Bytes", count);
    }
    if (elements != nullptr) {
        env->ReleaseByteArrayElements(data, elements, 0);
    }
    PrintTrace(3, WRITE_DATA "END");
    // A failed write must not read as a count sent.
    return result == 0 ? static_cast<jlong>(static_cast<uint32_t>(count)) : -1;
}

JNIEXPORT void JNICALL Java_com_zelkor_jpos_services_WinPortComm_SetDeviceTimeout(
    JNIEnv*, jobject, jlong writeTimeoutSec, jlong readTimeoutSec) {
    PrintTrace(3, SET_DEVICE_TIMEOUT "START");
    PrintTrace(5, SET_DEVICE_TIMEOUT "Timeout Write = %d(Sec)", static_cast<int>(writeTimeoutSec));
    PrintTrace(5, SET_DEVICE_TIMEOUT "Timeout Read = %d(Sec)", static_cast<int>(readTimeoutSec));
    m_iReadTimeoutMs = SecondsToMilliseconds(readTimeoutSec);
    m_iWriteTimeoutMs = SecondsToMilliseconds(writeTimeoutSec);

    // The kind alone decides: with no layer loaded the binding fails, and the
    // values still wait for the next open.
    const char* tag = nullptr;
    int result = ApplyTimeouts(&tag);
    if (tag == nullptr) {
        PrintTrace(1, OPEN_DEVICE "COM Port not Init");
        PrintTrace(1, OPEN_DEVICE "ERROR Set Timeouts on Com DLL");
    } else {
        PrintTrace(1, "%s", tag);
        if (result == -1) {
            PrintTrace(1, OPEN_DEVICE "ERROR Set Timeouts on Com DLL");
        } else {
            PrintTrace(2, OPEN_DEVICE "Set Timeouts on Com DLL");
        }
    }
    PrintTrace(3, SET_DEVICE_TIMEOUT "END");
}

JNIEXPORT void JNICALL Java_com_zelkor_jpos_services_WinPortComm_SetDeviceBuffer(
    JNIEnv*, jobject, jlong writeBufferSize, jlong readBufferSize) {
    PrintTrace(3, SET_DEVICE_BUFFER "START");
    PrintTrace(5, SET_DEVICE_BUFFER "Buffer Size Write = %d", static_cast<int>(writeBufferSize));
    PrintTrace(5, SET_DEVICE_BUFFER "Buffer Size Read = %d", static_cast<int>(readBufferSize));
    m_iWriteBufferSize = static_cast<int32_t>(writeBufferSize);
    CreateReadBuffer(static_cast<int32_t>(readBufferSize));
    PrintTrace(3, SET_DEVICE_BUFFER "END");
}
