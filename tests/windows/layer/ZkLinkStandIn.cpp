// SPDX-License-Identifier: Apache-2.0
// The stand-in ZkLink64.dll: every entry records its call and answers what the
// test asked for. Built twice, once with all twelve entries and once without
// SetUsbTimeout, to stand for a layer that lacks an entry. Its entries are
// defined against the layer's own declaration, so they cannot drift from it.
#include "ZkLinkStandIn.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ZkLink.h"

#define STAND_IN_EXPORT extern "C" __declspec(dllexport)

namespace {

struct EntryResult {
    char entry[32];
    int result;
};

ZkLinkCall m_calls[ZKLINK_STAND_IN_MAX_CALLS];
int m_iCallCount = 0;
EntryResult m_results[32];
int m_iResultCount = 0;
unsigned char m_readBytes[ZKLINK_STAND_IN_DATA_SIZE];
int m_iReadCount = 0;
int m_iPortIdToGive = 0;
// The port name pointer as InitSerialPort or InitUsbPrinter received it; a
// real layer may keep it for later calls.
const char* m_pKeptPortName = nullptr;
bool m_bHoldRead = false;
// Manual-reset events: a Read waits held; the test lets it go on.
HANDLE m_hReadWaiting = CreateEventA(nullptr, TRUE, FALSE, nullptr);
HANDLE m_hReadReleased = CreateEventA(nullptr, TRUE, FALSE, nullptr);

int ResultOf(const char* entry) {
    for (int i = 0; i < m_iResultCount; ++i) {
        if (strcmp(m_results[i].entry, entry) == 0) {
            return m_results[i].result;
        }
    }
    return 0;
}

ZkLinkCall* Record(const char* entry) {
    static ZkLinkCall overflow;
    ZkLinkCall* call =
        m_iCallCount < ZKLINK_STAND_IN_MAX_CALLS ? &m_calls[m_iCallCount++] : &overflow;
    memset(call, 0, sizeof *call);
    snprintf(call->entry, sizeof call->entry, "%s", entry);
    if (m_pKeptPortName != nullptr) {
        snprintf(call->keptPortName, sizeof call->keptPortName, "%s", m_pKeptPortName);
    }
    return call;
}

void RecordText(ZkLinkCall* call, const char* text) {
    call->pointer = text;
    call->textIsNull = text == nullptr;
    if (text != nullptr) {
        snprintf(call->text, sizeof call->text, "%s", text);
    }
}

void RecordArguments(ZkLinkCall* call, std::initializer_list<int> arguments) {
    for (int argument : arguments) {
        call->arguments[call->argumentCount++] = argument;
    }
}

}  // namespace

STAND_IN_EXPORT void ZkLinkStandIn_Reset() {
    m_iCallCount = 0;
    m_iResultCount = 0;
    m_iReadCount = 0;
    m_iPortIdToGive = 0;
    m_pKeptPortName = nullptr;
    m_bHoldRead = false;
    ResetEvent(m_hReadWaiting);
    ResetEvent(m_hReadReleased);
}

STAND_IN_EXPORT void ZkLinkStandIn_HoldRead(int hold) {
    m_bHoldRead = hold != 0;
}

STAND_IN_EXPORT int ZkLinkStandIn_WaitForHeldRead(int milliseconds) {
    return WaitForSingleObject(m_hReadWaiting, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
}

STAND_IN_EXPORT void ZkLinkStandIn_ReleaseRead() {
    SetEvent(m_hReadReleased);
}

STAND_IN_EXPORT void ZkLinkStandIn_SetResult(const char* entry, int result) {
    for (int i = 0; i < m_iResultCount; ++i) {
        if (strcmp(m_results[i].entry, entry) == 0) {
            m_results[i].result = result;
            return;
        }
    }
    if (m_iResultCount < 32) {
        snprintf(m_results[m_iResultCount].entry, sizeof m_results[0].entry, "%s", entry);
        m_results[m_iResultCount++].result = result;
    }
}

STAND_IN_EXPORT void ZkLinkStandIn_SetRead(const unsigned char* bytes, int count) {
    m_iReadCount = std::max(0, std::min(count, ZKLINK_STAND_IN_DATA_SIZE));
    if (bytes != nullptr) {
        memcpy(m_readBytes, bytes, m_iReadCount);
    }
}

STAND_IN_EXPORT void ZkLinkStandIn_SetPortId(int portId) {
    m_iPortIdToGive = portId;
}

STAND_IN_EXPORT int ZkLinkStandIn_CallCount() {
    return m_iCallCount;
}

STAND_IN_EXPORT const ZkLinkCall* ZkLinkStandIn_GetCall(int index) {
    return index >= 0 && index < m_iCallCount ? &m_calls[index] : nullptr;
}

STAND_IN_EXPORT int CreateCommunicationPort(int kind, int logFlag, int logMask, const char* logPath,
                                            int* portId) {
    ZkLinkCall* call = Record("CreateCommunicationPort");
    RecordArguments(call, {kind, logFlag, logMask});
    RecordText(call, logPath);
    call->resultPointer = portId;
    int result = ResultOf(call->entry);
    if (result == 0 && portId != nullptr) {
        *portId = m_iPortIdToGive;
    }
    return result;
}

STAND_IN_EXPORT int InitSerialPort(const char* portName, int baud, int a, int b, int c, int d) {
    ZkLinkCall* call = Record("InitSerialPort");
    RecordText(call, portName);
    RecordArguments(call, {baud, a, b, c, d});
    m_pKeptPortName = portName;
    return ResultOf(call->entry);
}

STAND_IN_EXPORT int InitUsbPrinter(const char* portName) {
    ZkLinkCall* call = Record("InitUsbPrinter");
    RecordText(call, portName);
    m_pKeptPortName = portName;
    return ResultOf(call->entry);
}

STAND_IN_EXPORT int InitEthTCP(const char* host, int port) {
    ZkLinkCall* call = Record("InitEthTCP");
    RecordText(call, host);
    RecordArguments(call, {port});
    return ResultOf(call->entry);
}

STAND_IN_EXPORT int Open() {
    return ResultOf(Record("Open")->entry);
}

STAND_IN_EXPORT int Close() {
    int result = ResultOf(Record("Close")->entry);
    m_pKeptPortName = nullptr;
    return result;
}

STAND_IN_EXPORT int DeleteAllLayerItems() {
    return ResultOf(Record("DeleteAllLayerItems")->entry);
}

STAND_IN_EXPORT int SetSerialTimeout(int a, int readMs, int b, int writeMs, int c) {
    ZkLinkCall* call = Record("SetSerialTimeout");
    RecordArguments(call, {a, readMs, b, writeMs, c});
    return ResultOf(call->entry);
}

STAND_IN_EXPORT int SetEthTimeout(int writeMs, int readMs) {
    ZkLinkCall* call = Record("SetEthTimeout");
    RecordArguments(call, {writeMs, readMs});
    return ResultOf(call->entry);
}

#ifndef ZKLINK_STAND_IN_WITHOUT_USB_TIMEOUT
STAND_IN_EXPORT int SetUsbTimeout(int writeMs, int readMs) {
    ZkLinkCall* call = Record("SetUsbTimeout");
    RecordArguments(call, {writeMs, readMs});
    return ResultOf(call->entry);
}
#endif

STAND_IN_EXPORT int Write(const unsigned char* data, int length) {
    ZkLinkCall* call = Record("Write");
    RecordArguments(call, {length});
    call->pointer = data;
    call->dataLength = std::max(0, std::min(length, ZKLINK_STAND_IN_DATA_SIZE));
    if (data != nullptr) {
        memcpy(call->data, data, call->dataLength);
    }
    return ResultOf(call->entry);
}

STAND_IN_EXPORT int Read(unsigned char* buffer, int capacity, int* count) {
    ZkLinkCall* call = Record("Read");
    RecordArguments(call, {capacity});
    call->pointer = buffer;
    call->resultPointer = count;
    if (m_bHoldRead) {
        SetEvent(m_hReadWaiting);
        WaitForSingleObject(m_hReadReleased, 10000);
    }
    int given = std::max(0, std::min(m_iReadCount, capacity));
    if (buffer != nullptr) {
        memcpy(buffer, m_readBytes, given);
    }
    if (count != nullptr) {
        *count = given;
    }
    return ResultOf(call->entry);
}
