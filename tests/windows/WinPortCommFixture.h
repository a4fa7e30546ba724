// SPDX-License-Identifier: Apache-2.0
// The fixture of the end-to-end suites: ZkPosDll64.dll as the JVM would see
// it, loaded afresh for every test, called through its six exports with the
// test JNI environment, in front of the recording stand-in layer.
#ifndef ZKPOS_WIN_PORT_COMM_FIXTURE_H
#define ZKPOS_WIN_PORT_COMM_FIXTURE_H

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TestJniEnv.h"
#include "TraceLines.h"
#include "WinPortCommDll.h"
#include "ZkLinkStandIn.h"

#define WIN_PORT_COMM "Java_com_zelkor_jpos_services_WinPortComm_"

// A test name from a text of the table: letters and digits kept, every other
// character an underscore.
inline std::string CaseName(const std::string& text) {
    std::string name = text.empty() ? "empty" : text;
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

class WinPortComm : public ::testing::Test {
protected:
    void SetUp() override {
        PoisonReleasedStrings();
        ASSERT_TRUE(LoadZkLinkStandIn("layer", &layer_));
        layer_.Reset();
        char documents[MAX_PATH] = "";
        ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, documents, CSIDL_PERSONAL, FALSE));
        logFolder_ = std::string(documents) + "\\Zelkortec\\JavaPos\\Log";
        std::filesystem::remove_all(std::string(documents) + "\\Zelkortec");
        ASSERT_TRUE(dll_.Load());
    }

    void TearDown() override {
        ExpectSoundJniUse(jni_);
        dll_.Unload();
    }

    jlong Open(const char* deviceBus, const char* portName, int baudRate = 9600, bool debug = true,
               int verbosity = 5) {
        return Open(jni_.MakeString(deviceBus), jni_.MakeString(portName), baudRate, debug,
                    verbosity);
    }
    jlong Open(jstring deviceBus, jstring portName, int baudRate = 9600, bool debug = true,
               int verbosity = 5) {
        return dll_.openDevice(jni_.Env(), jni_.Self(), deviceBus, portName, baudRate,
                               debug ? JNI_TRUE : JNI_FALSE, verbosity);
    }
    jlong Close() { return dll_.closeDevice(jni_.Env(), jni_.Self()); }
    jbyteArray Read() { return dll_.readData(jni_.Env(), jni_.Self(), 0); }
    // A read from another thread, which has an environment of its own.
    jbyteArray ReadIn(zkpos_test::TestJniEnv& jni) {
        return dll_.readData(jni.Env(), jni.Self(), 0);
    }
    jlong Write(jbyteArray data, jlong size) {
        return dll_.writeData(jni_.Env(), jni_.Self(), data, size);
    }
    void SetTimeout(jlong writeSec, jlong readSec) {
        dll_.setDeviceTimeout(jni_.Env(), jni_.Self(), writeSec, readSec);
    }
    void SetBuffer(jlong writeSize, jlong readSize) {
        dll_.setDeviceBuffer(jni_.Env(), jni_.Self(), writeSize, readSize);
    }

    std::string LogFile() const { return logFolder_ + "\\ZkPosDll.log"; }
    bool LogFolderExists() const {
        return GetFileAttributesA(logFolder_.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // The texts of the trace lines so far, without their time stamps.
    std::vector<std::string> TraceTexts() const { return ReadTraceTexts(LogFile()); }
    void ClearTrace() const { DeleteFileA(LogFile().c_str()); }
    bool Traced(const std::string& text) const {
        for (const std::string& line : TraceTexts()) {
            if (line == text) {
                return true;
            }
        }
        return false;
    }

    std::vector<int> Arguments(const char* entry) const {
        const ZkLinkCall* call = layer_.LastCall(entry);
        if (call == nullptr) {
            return {};
        }
        return std::vector<int>(call->arguments, call->arguments + call->argumentCount);
    }

    zkpos_test::TestJniEnv jni_;
    ZkLinkStandIn layer_{};
    std::string logFolder_;

private:
    // A released text reads as '#' characters from then on, so a text used
    // after its release shows in the trace or at the layer instead of reading
    // as it was from freed memory.
    void PoisonReleasedStrings() {
        JNIEnv* env = jni_.Env();
        poisoningTable_ = *env->functions;
        releaseStringUTFChars_ = env->functions->ReleaseStringUTFChars;
        poisoningTable_.ReleaseStringUTFChars = [](JNIEnv* env, jstring text, const char* chars) {
            memset(const_cast<char*>(chars), '#', strlen(chars));
            releaseStringUTFChars_(env, text, chars);
        };
        env->functions = &poisoningTable_;
    }

    static inline decltype(JNINativeInterface_::ReleaseStringUTFChars) releaseStringUTFChars_;
    JNINativeInterface_ poisoningTable_{};

    WinPortCommDll dll_;
};

#endif
