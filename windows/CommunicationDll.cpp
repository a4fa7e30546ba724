// SPDX-License-Identifier: Apache-2.0
// The binding to the communication layer ZkLink64.dll, which does all the port
// work. The layer is loaded by name once, and each of its entries is looked up
// by name at the moment it is called: a layer that lacks an entry then fails
// only the operations that use it. The layer's own failure values stay inside;
// every operation answers 0 or -1.
//
// A reader thread and a writer thread call in at the same time, and a third
// may release the layer meanwhile: the handle is read and written atomically.
// The layer itself is never unloaded, so an entry resolved before a release
// stays callable.
#include "EthernetAddress.h"
#include "ZkLink.h"
#include "ZkPosDll.h"

#include <cstring>

HMODULE m_hCommunicationDll = nullptr;

namespace {

// The entries' types come from the layer's own declaration.
using CreateCommunicationPortEntry = decltype(&::CreateCommunicationPort);
using OpenEntry = decltype(&::Open);
using CloseEntry = decltype(&::Close);
using DeleteAllLayerItemsEntry = decltype(&::DeleteAllLayerItems);
using InitSerialPortEntry = decltype(&::InitSerialPort);
using InitUsbPrinterEntry = decltype(&::InitUsbPrinter);
using InitEthTCPEntry = decltype(&::InitEthTCP);
using SetSerialTimeoutEntry = decltype(&::SetSerialTimeout);
using SetEthTimeoutEntry = decltype(&::SetEthTimeout);
using SetUsbTimeoutEntry = decltype(&::SetUsbTimeout);
using WriteEntry = decltype(&::Write);
using ReadEntry = decltype(&::Read);

HMODULE LoadedLayer() {
    return __atomic_load_n(&m_hCommunicationDll, __ATOMIC_ACQUIRE);
}

void SetLoadedLayer(HMODULE layer) {
    __atomic_store_n(&m_hCommunicationDll, layer, __ATOMIC_RELEASE);
}

// The layer's constant for the three serial time-out slots that we leave to it.
const int kSerialTimeoutConstant = 10;

template <typename Entry>
Entry ResolveEntry(const char* name) {
    HMODULE layer = LoadedLayer();
    if (layer == nullptr) {
        return nullptr;
    }
    FARPROC entry = GetProcAddress(layer, name);
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(entry));
}

int Reduce(int layerResult) {
    return layerResult == 0 ? 0 : -1;
}

// The layer's log settings follow our trace level: one more mask bit per
// level, from the top bit down.
void ChooseLayerLog(int* logFlag, int* logMask, const char** logPath) {
    *logFlag = 1;
    *logPath = m_strComLogFileName;
    switch (m_iTraceLevel) {
        case 0:
            *logFlag = 0;
            *logMask = 0;
            *logPath = nullptr;
            break;
        case 1:
            *logMask = 8;
            break;
        case 2:
            *logMask = 12;
            break;
        case 3:
            *logMask = 14;
            break;
        case 4:
        case 5:
            *logMask = 15;
            break;
        default:
            *logMask = 8;
            break;
    }
}

HMODULE LoadLayerBesideThisDll() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&m_hCommunicationDll), &self)) {
        return nullptr;
    }
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(self, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return nullptr;
    }
    char* folderEnd = strrchr(path, '\\');
    size_t folderLength = folderEnd == nullptr ? 0 : static_cast<size_t>(folderEnd - path) + 1;
    if (folderLength + sizeof ZKPOS_COMMUNICATION_DLL_NAME > sizeof path) {
        return nullptr;
    }
    memcpy(path + folderLength, ZKPOS_COMMUNICATION_DLL_NAME, sizeof ZKPOS_COMMUNICATION_DLL_NAME);
    return LoadLibraryA(path);
}

}  // namespace

int CommunicationDll_Load() {
    if (LoadedLayer() != nullptr) {
        return 0;
    }
    // A layer that a device maker installed on the search path wins; the one
    // we ship beside this DLL serves when there is none.
    HMODULE layer = LoadLibraryA(ZKPOS_COMMUNICATION_DLL_NAME);
    if (layer == nullptr) {
        layer = LoadLayerBesideThisDll();
    }
    SetLoadedLayer(layer);
    return layer != nullptr ? 0 : -1;
}

int CommunicationDll_CreatePort(int kind) {
    auto entry = ResolveEntry<CreateCommunicationPortEntry>("CreateCommunicationPort");
    if (entry == nullptr) {
        return -1;
    }
    int logFlag = 0;
    int logMask = 0;
    const char* logPath = nullptr;
    ChooseLayerLog(&logFlag, &logMask, &logPath);
    return Reduce(entry(kind, logFlag, logMask, logPath, &m_iPortId));
}

int CommunicationDll_Serial_Init(const char* portName, int baud, int a, int b, int c, int d) {
    auto entry = ResolveEntry<InitSerialPortEntry>("InitSerialPort");
    return entry == nullptr ? -1 : Reduce(entry(portName, baud, a, b, c, d));
}

int CommunicationDll_Usb_Init(const char* portName) {
    auto entry = ResolveEntry<InitUsbPrinterEntry>("InitUsbPrinter");
    return entry == nullptr ? -1 : Reduce(entry(portName));
}

int CommunicationDll_Eth_Init(const char* address) {
    auto entry = ResolveEntry<InitEthTCPEntry>("InitEthTCP");
    if (entry == nullptr) {
        return -1;
    }
    EthernetAddress split;
    if (!SplitEthernetAddress(address, &split)) {
        PrintTrace(1,
                   "CommunicationDll_Eth_Init: ERROR Host or Port longer than %d characters in %s",
                   ZKPOS_ADDRESS_FIELD_SIZE - 1, address);
        return -1;
    }
    PrintTrace(2, "CommunicationDll_Eth_Init: IP = %s", split.host);
    PrintTrace(2, "CommunicationDll_Eth_Init: IP PORT = %d", split.port);
    return Reduce(entry(split.host, split.port));
}

int CommunicationDll_Open() {
    auto entry = ResolveEntry<OpenEntry>("Open");
    return entry == nullptr ? -1 : Reduce(entry());
}

int CommunicationDll_Serial_SetTimeout(int writeMs, int readMs) {
    auto entry = ResolveEntry<SetSerialTimeoutEntry>("SetSerialTimeout");
    return entry == nullptr ? -1
                            : Reduce(entry(kSerialTimeoutConstant, readMs, kSerialTimeoutConstant,
                                           writeMs, kSerialTimeoutConstant));
}

int CommunicationDll_Eth_SetTimeout(int writeMs, int readMs) {
    auto entry = ResolveEntry<SetEthTimeoutEntry>("SetEthTimeout");
    return entry == nullptr ? -1 : Reduce(entry(writeMs, readMs));
}

int CommunicationDll_Usb_SetTimeout(int writeMs, int readMs) {
    auto entry = ResolveEntry<SetUsbTimeoutEntry>("SetUsbTimeout");
    return entry == nullptr ? -1 : Reduce(entry(writeMs, readMs));
}

int CommunicationDll_Write(const unsigned char* data, int length) {
    auto entry = ResolveEntry<WriteEntry>("Write");
    return entry == nullptr ? -1 : Reduce(entry(data, length));
}

int CommunicationDll_Read(unsigned char* buffer, int* count, int capacity) {
    auto entry = ResolveEntry<ReadEntry>("Read");
    return entry == nullptr ? -1 : Reduce(entry(buffer, capacity, count));
}

void CommunicationDll_Close() {
    auto entry = ResolveEntry<CloseEntry>("Close");
    if (entry != nullptr) {
        entry();
    }
}

void CommunicationDll_Release() {
    CommunicationDll_Close();
    auto deleteAllLayerItems = ResolveEntry<DeleteAllLayerItemsEntry>("DeleteAllLayerItems");
    if (deleteAllLayerItems != nullptr) {
        deleteAllLayerItems();
    }
    // The layer stays in the process with whatever state it keeps; the next
    // load asks the system for it by name and gets the same module back.
    SetLoadedLayer(nullptr);
}
