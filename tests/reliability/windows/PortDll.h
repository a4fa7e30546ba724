// SPDX-License-Identifier: Apache-2.0
// ZkPosDll64.dll as the JVM sees it: loaded afresh for every test (a fresh
// module state), called only through its six exports with the test JNI
// environment. The layer it loads by name is the ZkLink64.dll in the folder
// the test chooses beside the program.
#ifndef ZKPOS_TESTS_RELIABILITY_PORTDLL_H
#define ZKPOS_TESTS_RELIABILITY_PORTDLL_H

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <string>

#include "TestJniEnv.h"
#include "TraceLines.h"
#include "WinPortCommDll.h"
#include "ZkLinkStandIn.h"
#include "ZkPosDll.h"

class PortDll : public ::testing::Test {
protected:
    // Chooses the folder the layer is loaded from; call before Load.
    void UseLayerFolder(const std::string& folder) {
        ASSERT_TRUE(SetDllDirectoryA(FolderBesideProgram(folder.c_str()).c_str()));
    }

    void Load() { ASSERT_TRUE(dll_.Load()); }

    void TearDown() override {
        ExpectSoundJniUse(jni_);
        dll_.Unload();
    }

    jlong Open(const char* deviceBus, const char* portName, bool debug = true, int verbosity = 5) {
        return dll_.openDevice(jni_.Env(), jni_.Self(), jni_.MakeString(deviceBus),
                               jni_.MakeString(portName), 9600, debug ? JNI_TRUE : JNI_FALSE,
                               verbosity);
    }
    jlong Close() { return dll_.closeDevice(jni_.Env(), jni_.Self()); }
    jbyteArray Read() { return dll_.readData(jni_.Env(), jni_.Self(), 0); }
    jlong Write(const std::string& bytes) {
        return dll_.writeData(jni_.Env(), jni_.Self(), jni_.MakeByteArray(bytes), 0);
    }
    void SetTimeout(jlong writeSec, jlong readSec) {
        dll_.setDeviceTimeout(jni_.Env(), jni_.Self(), writeSec, readSec);
    }
    void SetBuffer(jlong writeSize, jlong readSize) {
        dll_.setDeviceBuffer(jni_.Env(), jni_.Self(), writeSize, readSize);
    }
    // What a read returned: "(null)" for null, else the bytes.
    std::string ReadText() {
        jbyteArray bytes = Read();
        return bytes == nullptr ? "(null)" : jni_.BytesOf(bytes);
    }

    static std::string LogFile() {
        char documents[MAX_PATH] = "";
        SHGetSpecialFolderPathA(nullptr, documents, CSIDL_PERSONAL, FALSE);
        return std::string(documents) + "\\Zelkortec\\JavaPos\\Log\\ZkPosDll.log";
    }
    // How many lines of the trace log carry this text.
    static int TraceLinesWith(const std::string& text) {
        int count = 0;
        for (const std::string& line : ReadTraceTexts(LogFile())) {
            count += line == text ? 1 : 0;
        }
        return count;
    }

    zkpos_test::TestJniEnv jni_;

private:
    WinPortCommDll dll_;
};

#endif
