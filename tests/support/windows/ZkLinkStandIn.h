// SPDX-License-Identifier: Apache-2.0
// A stand-in for the communication layer ZkLink64.dll, built for the tests
// only. It exports the layer's twelve entries, records every call with its
// arguments, and answers as the test tells it to. The test reaches the record
// through the control functions below, resolved from the loaded stand-in.
#ifndef ZKLINK_STAND_IN_H
#define ZKLINK_STAND_IN_H

#include <windows.h>

#include <string>

#define ZKLINK_STAND_IN_TEXT_SIZE 256
#define ZKLINK_STAND_IN_DATA_SIZE 4096
#define ZKLINK_STAND_IN_MAX_CALLS 512

// One call of an entry, as the stand-in received it.
struct ZkLinkCall {
    char entry[32];
    // The integer arguments in the order received.
    int arguments[6];
    int argumentCount;
    // The text argument (port name, host or log path) copied at the call.
    char text[ZKLINK_STAND_IN_TEXT_SIZE];
    int textIsNull;
    // The text, data or buffer pointer as received.
    const void* pointer;
    // CreateCommunicationPort's port id pointer, Read's count pointer.
    const void* resultPointer;
    // The bytes Write was given, up to ZKLINK_STAND_IN_DATA_SIZE.
    unsigned char data[ZKLINK_STAND_IN_DATA_SIZE];
    int dataLength;
    // The port name read at this call through the pointer that InitSerialPort
    // or InitUsbPrinter kept, as a layer that does not copy it would.
    char keptPortName[ZKLINK_STAND_IN_TEXT_SIZE];
};

extern "C" {
typedef void (*ZkLinkStandIn_ResetFunction)();
// The entry answers result from now on (0 until told otherwise).
typedef void (*ZkLinkStandIn_SetResultFunction)(const char* entry, int result);
// Read hands out these bytes, at most the capacity it is given, and stores
// their number in its count, whatever it answers.
typedef void (*ZkLinkStandIn_SetReadFunction)(const unsigned char* bytes, int count);
// CreateCommunicationPort stores this id.
typedef void (*ZkLinkStandIn_SetPortIdFunction)(int portId);
typedef int (*ZkLinkStandIn_CallCountFunction)();
// While held, Read waits (at most 10 s) until released before it hands out
// its bytes: a read that is still filling its buffer when another thread
// closes the port or changes the buffer. WaitForHeldRead answers true once a
// Read waits.
typedef void (*ZkLinkStandIn_HoldReadFunction)(int hold);
typedef int (*ZkLinkStandIn_WaitForHeldReadFunction)(int milliseconds);
typedef void (*ZkLinkStandIn_ReleaseReadFunction)();
typedef const ZkLinkCall* (*ZkLinkStandIn_GetCallFunction)(int index);
}

// The control functions of a loaded stand-in.
struct ZkLinkStandIn {
    ZkLinkStandIn_ResetFunction Reset;
    ZkLinkStandIn_SetResultFunction SetResult;
    ZkLinkStandIn_SetReadFunction SetRead;
    ZkLinkStandIn_SetPortIdFunction SetPortId;
    ZkLinkStandIn_CallCountFunction CallCount;
    ZkLinkStandIn_GetCallFunction GetCall;
    ZkLinkStandIn_HoldReadFunction HoldRead;
    ZkLinkStandIn_WaitForHeldReadFunction WaitForHeldRead;
    ZkLinkStandIn_ReleaseReadFunction ReleaseRead;

    // The names of the entries called so far, in order, separated by blanks.
    std::string CallNames() const {
        std::string names;
        for (int i = 0; i < CallCount(); ++i) {
            names += (i > 0 ? " " : "") + std::string(GetCall(i)->entry);
        }
        return names;
    }
    // The last call of entry, or null when it was not called.
    const ZkLinkCall* LastCall(const char* entry) const {
        for (int i = CallCount() - 1; i >= 0; --i) {
            if (std::string(GetCall(i)->entry) == entry) {
                return GetCall(i);
            }
        }
        return nullptr;
    }
};

// The folder named folderName beside the running test program.
inline std::string FolderBesideProgram(const char* folderName) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path);
    folder.erase(folder.find_last_of("\\/") + 1);
    return folder + folderName;
}

// Makes the stand-in in folderName (beside the test program) the ZkLink64.dll
// that a load by bare name finds, loads it and resolves its control functions.
// Returns false when it cannot be loaded.
inline bool LoadZkLinkStandIn(const char* folderName, ZkLinkStandIn* standIn) {
    SetDllDirectoryA(FolderBesideProgram(folderName).c_str());
    HMODULE layer = LoadLibraryA("ZkLink64.dll");
    if (layer == nullptr) {
        return false;
    }
    auto resolve = [layer](const char* name) {
        return reinterpret_cast<void (*)()>(GetProcAddress(layer, name));
    };
    standIn->Reset = reinterpret_cast<ZkLinkStandIn_ResetFunction>(resolve("ZkLinkStandIn_Reset"));
    standIn->SetResult =
        reinterpret_cast<ZkLinkStandIn_SetResultFunction>(resolve("ZkLinkStandIn_SetResult"));
    standIn->SetRead =
        reinterpret_cast<ZkLinkStandIn_SetReadFunction>(resolve("ZkLinkStandIn_SetRead"));
    standIn->SetPortId =
        reinterpret_cast<ZkLinkStandIn_SetPortIdFunction>(resolve("ZkLinkStandIn_SetPortId"));
    standIn->CallCount =
        reinterpret_cast<ZkLinkStandIn_CallCountFunction>(resolve("ZkLinkStandIn_CallCount"));
    standIn->GetCall =
        reinterpret_cast<ZkLinkStandIn_GetCallFunction>(resolve("ZkLinkStandIn_GetCall"));
    standIn->HoldRead =
        reinterpret_cast<ZkLinkStandIn_HoldReadFunction>(resolve("ZkLinkStandIn_HoldRead"));
    standIn->WaitForHeldRead = reinterpret_cast<ZkLinkStandIn_WaitForHeldReadFunction>(
        resolve("ZkLinkStandIn_WaitForHeldRead"));
    standIn->ReleaseRead =
        reinterpret_cast<ZkLinkStandIn_ReleaseReadFunction>(resolve("ZkLinkStandIn_ReleaseRead"));
    return standIn->HoldRead && standIn->WaitForHeldRead && standIn->ReleaseRead &&
           standIn->Reset && standIn->SetResult && standIn->SetRead && standIn->SetPortId &&
           standIn->CallCount && standIn->GetCall;
}

#endif
