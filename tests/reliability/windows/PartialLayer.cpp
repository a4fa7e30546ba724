// SPDX-License-Identifier: Apache-2.0
// A communication layer that lacks one entry: built once per entry with
// PARTIAL_LAYER_WITHOUT_<entry> defined, and once complete. Unlike the
// recording stand-in it keeps the state the contract speaks of: a port that
// is created, then opened; Write, Read and the time-out entries answer
// non-zero while no port is open. Read hands out "abc". Its entries are
// defined against the layer's own declaration, so they cannot drift from it.
#include <windows.h>

#include <cstring>

#include "ZkLink.h"

#define PARTIAL_LAYER_EXPORT extern "C" __declspec(dllexport)

namespace {

bool m_bCreated = false;
bool m_bOpen = false;

int WhenOpen() {
    return m_bOpen ? 0 : 1;
}

}  // namespace

#ifndef PARTIAL_LAYER_WITHOUT_CreateCommunicationPort
PARTIAL_LAYER_EXPORT int CreateCommunicationPort(int, int, int, const char*, int* portId) {
    m_bCreated = true;
    m_bOpen = false;
    if (portId != nullptr) {
        *portId = 1;
    }
    return 0;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_InitSerialPort
PARTIAL_LAYER_EXPORT int InitSerialPort(const char*, int, int, int, int, int) {
    return m_bCreated ? 0 : 1;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_InitUsbPrinter
PARTIAL_LAYER_EXPORT int InitUsbPrinter(const char*) {
    return m_bCreated ? 0 : 1;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_InitEthTCP
PARTIAL_LAYER_EXPORT int InitEthTCP(const char*, int) {
    return m_bCreated ? 0 : 1;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_Open
PARTIAL_LAYER_EXPORT int Open() {
    m_bOpen = m_bCreated;
    return m_bOpen ? 0 : 1;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_Close
PARTIAL_LAYER_EXPORT int Close() {
    m_bOpen = false;
    return 0;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_DeleteAllLayerItems
PARTIAL_LAYER_EXPORT int DeleteAllLayerItems() {
    m_bOpen = false;
    m_bCreated = false;
    return 0;
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_SetSerialTimeout
PARTIAL_LAYER_EXPORT int SetSerialTimeout(int, int, int, int, int) {
    return WhenOpen();
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_SetEthTimeout
PARTIAL_LAYER_EXPORT int SetEthTimeout(int, int) {
    return WhenOpen();
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_SetUsbTimeout
PARTIAL_LAYER_EXPORT int SetUsbTimeout(int, int) {
    return WhenOpen();
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_Write
PARTIAL_LAYER_EXPORT int Write(const unsigned char*, int) {
    return WhenOpen();
}
#endif

#ifndef PARTIAL_LAYER_WITHOUT_Read
PARTIAL_LAYER_EXPORT int Read(unsigned char* buffer, int capacity, int* count) {
    if (!m_bOpen || buffer == nullptr || count == nullptr) {
        return 1;
    }
    int given = capacity < 3 ? capacity : 3;
    memcpy(buffer, "abc", static_cast<size_t>(given > 0 ? given : 0));
    *count = given;
    return 0;
}
#endif
