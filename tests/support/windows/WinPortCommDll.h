// SPDX-License-Identifier: Apache-2.0
// ZkPosDll64.dll as the JVM sees it: loaded from beside the test program and
// entered only through its six exports, with the test JNI environment. Shared
// by the end-to-end and the fault suites.
#ifndef ZKPOS_WIN_PORT_COMM_DLL_H
#define ZKPOS_WIN_PORT_COMM_DLL_H

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "TestJniEnv.h"
#include "ZkLinkStandIn.h"
#include "ZkPosPortComm.h"

struct WinPortCommDll {
    HMODULE module = nullptr;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_openDevice) openDevice = nullptr;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_closeDevice) closeDevice = nullptr;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_readData) readData = nullptr;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_writeData) writeData = nullptr;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_SetDeviceTimeout) setDeviceTimeout =
        nullptr;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_SetDeviceBuffer) setDeviceBuffer = nullptr;

    // A fresh load is a fresh module state: nothing carries over from the test
    // before, since every test unloads the DLL again. False when the DLL or
    // one of its exports is missing. The DLL may stand in a folder below the
    // program's, given with the file name ("port\\ZkPosDll64.dll").
    bool Load(const char* fileBesideProgram = "ZkPosDll64.dll") {
        module = LoadLibraryA(FolderBesideProgram(fileBesideProgram).c_str());
        return module != nullptr && Resolve("openDevice", &openDevice) &&
               Resolve("closeDevice", &closeDevice) && Resolve("readData", &readData) &&
               Resolve("writeData", &writeData) && Resolve("SetDeviceTimeout", &setDeviceTimeout) &&
               Resolve("SetDeviceBuffer", &setDeviceBuffer);
    }

    void Unload() {
        if (module != nullptr) {
            FreeLibrary(module);
            module = nullptr;
        }
    }

private:
    template <typename Function>
    bool Resolve(const char* method, Function* function) {
        std::string name = std::string("Java_com_zelkor_jpos_services_WinPortComm_") + method;
        *function = reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, name.c_str())));
        return *function != nullptr;
    }
};

// What a test ends with: the DLL used the JNI environment as a JVM demands
// and left no exception for the Java caller.
inline void ExpectSoundJniUse(zkpos_test::TestJniEnv& jni) {
    for (const std::string& problem : jni.Problems()) {
        ADD_FAILURE() << "JNI misuse: " << problem;
    }
    EXPECT_FALSE(jni.ExceptionPending()) << "an exception would reach the Java caller";
}

#endif
