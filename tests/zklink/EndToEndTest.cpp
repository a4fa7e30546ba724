// SPDX-License-Identifier: Apache-2.0
// ZkPosDll64.dll and our ZkLink64.dll together, as a Java service uses them:
// the port DLL loaded from a folder of its own with the layer beside it,
// driven through its exports with the test JNI environment, and a real device
// on the far end: zkpos-simulator on a COM port (a pseudo-terminal that the
// prefix's dosdevices maps), on 127.0.0.1:9100, or on a device path that
// stands for a USB printer. run-with-simulator.sh starts the simulator the
// suite needs and names the port in ZKLINK_TEST_PORT.
//
// Started as "EndToEndTest.exe --open-serial NAME", the program only opens
// that COM port through the layer and exits with the layer's answer: the
// second program that tries a port the first one holds.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "TestJniEnv.h"
#include "WinPortCommDll.h"
#include "ZkLink.h"
#include "ZkLinkStandIn.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kPortDll[] = "port\\ZkPosDll64.dll";
const char kFrame[] = "\x02HELLO\x03";
const char kEchoed[] = "\x06\x02HELLO\x03";
const char kEnq[] = "\x05";

std::string TestPort() {
    const char* port = getenv("ZKLINK_TEST_PORT");
    return port != nullptr ? port : "";
}

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Device : public ::testing::Test {
protected:
    void SetUp() override {
        char documents[MAX_PATH] = "";
        ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, documents, CSIDL_PERSONAL, FALSE));
        logFolder_ = std::string(documents) + "\\Zelkortec\\JavaPos\\Log";
        std::filesystem::remove_all(std::string(documents) + "\\Zelkortec");
        ASSERT_TRUE(dll_.Load(kPortDll));
    }
    void TearDown() override {
        Close();
        ExpectSoundJniUse(jni_);
        dll_.Unload();
    }

    jlong Open(const char* deviceBus, const std::string& portName, bool debug = true) {
        return dll_.openDevice(jni_.Env(), jni_.Self(), jni_.MakeString(deviceBus),
                               jni_.MakeString(portName.c_str()), 9600,
                               debug ? JNI_TRUE : JNI_FALSE, 5);
    }
    jlong Close() { return dll_.closeDevice(jni_.Env(), jni_.Self()); }
    jlong Write(const std::string& bytes) {
        return dll_.writeData(jni_.Env(), jni_.Self(), jni_.MakeByteArray(bytes), 0);
    }
    // One readData: the bytes, or "(null)" for a read error.
    std::string ReadOnce() {
        jbyteArray bytes = dll_.readData(jni_.Env(), jni_.Self(), 0);
        return bytes == nullptr ? "(null)" : jni_.BytesOf(bytes);
    }
    // Reads until size bytes came, a read brought nothing or failed; the
    // number of reads it took goes to reads.
    std::string ReadUpTo(size_t size, int* reads = nullptr) {
        std::string all;
        int count = 0;
        while (all.size() < size && count < 100) {
            ++count;
            std::string part = ReadOnce();
            if (part == "(null)" || part.empty()) {
                break;
            }
            all += part;
        }
        if (reads != nullptr) {
            *reads = count;
        }
        return all;
    }
    void SetTimeout(jlong writeSec, jlong readSec) {
        dll_.setDeviceTimeout(jni_.Env(), jni_.Self(), writeSec, readSec);
    }
    void SetBuffer(jlong writeSize, jlong readSize) {
        dll_.setDeviceBuffer(jni_.Env(), jni_.Self(), writeSize, readSize);
    }
    std::string LayerLog() const { return FileText(logFolder_ + "\\ZkLink.log"); }
    std::string Trace() const { return FileText(logFolder_ + "\\ZkPosDll.log"); }

    // The conversation every kind of port must hold.
    void ExpectEchoAndStatus(const char* deviceBus) {
        ASSERT_EQ(0, Open(deviceBus, TestPort())) << Trace() << LayerLog();
        EXPECT_EQ(7, Write(kFrame));
        EXPECT_EQ(kEchoed, ReadUpTo(8));
        EXPECT_EQ(1, Write(kEnq));
        EXPECT_EQ("@", ReadUpTo(1));
    }

    void ExpectReadTimeOutReturnsNothing(const char* deviceBus) {
        ASSERT_EQ(0, Open(deviceBus, TestPort()));
        SetTimeout(2, 1);
        Clock::time_point start = Clock::now();
        EXPECT_EQ("", ReadOnce());
        long long waited = MillisecondsSince(start);
        EXPECT_GE(waited, 900) << "the read gave up before its time-out";
        EXPECT_LT(waited, 4000) << "the read outlasted its time-out";
    }

    void ExpectLargeReplyWholeOverSeveralReads(const char* deviceBus) {
        ASSERT_EQ(0, Open(deviceBus, TestPort()));
        SetBuffer(2048, 512);
        ASSERT_EQ(7, Write(kFrame));
        int reads = 0;
        std::string reply = ReadUpTo(1 + 1502, &reads);
        std::string expected = "\x06\x02";
        for (int i = 0; i < 1500; ++i) {
            expected += static_cast<char>('A' + i % 26);
        }
        expected += "\x03";
        EXPECT_EQ(expected, reply);
        EXPECT_GE(reads, 3) << "512-byte reads cannot take 1503 bytes in fewer";
    }

    void ExpectHangUpIsAnError(const char* deviceBus) {
        ASSERT_EQ(0, Open(deviceBus, TestPort()));
        SetTimeout(2, 2);
        ASSERT_EQ(7, Write(kFrame));
        EXPECT_EQ(kEchoed, ReadUpTo(8));
        // The device hangs up after its answer; within a few reads the layer
        // must say so instead of reporting quiet reads for ever.
        std::string last;
        for (int i = 0; i < 5 && last != "(null)"; ++i) {
            last = ReadOnce();
        }
        EXPECT_EQ("(null)", last) << LayerLog();
    }

    // One thread waits in readData while another writes, as a Java service
    // runs its status reader beside its sender: every frame must reach the
    // device once and every answer come back once, in order. Each frame goes
    // out once the answer before it is in, so the reader is always waiting
    // when a write ends; every fifth is a block of ten frames.
    void ExpectReaderAndWriterShareThePort(const char* deviceBus) {
        const int kFrames = 300;
        ASSERT_EQ(0, Open(deviceBus, TestPort(), false));
        SetTimeout(5, 1);
        std::string expected;
        for (int i = 0; i < kFrames; ++i) {
            expected += "\x06" + NumberedFrame(i);
        }
        std::string replies;
        std::atomic<size_t> received{0};
        int failedReads = 0;
        std::thread reader([&] {
            zkpos_test::TestJniEnv jni;
            // The device answers within milliseconds: a run of quiet reads
            // means nothing more is coming.
            for (int quiet = 0; replies.size() < expected.size() && quiet < 5;) {
                jbyteArray bytes = dll_.readData(jni.Env(), jni.Self(), 0);
                failedReads += bytes == nullptr ? 1 : 0;
                std::string part = bytes == nullptr ? "" : jni.BytesOf(bytes);
                quiet = part.empty() ? quiet + 1 : 0;
                replies += part;
                received = replies.size();
            }
        });
        int written = 0;
        size_t answered = 0;
        for (int i = 0; i < kFrames;) {
            int frames = i % 50 == 0 ? 10 : 1;
            std::string block;
            for (int j = i; j < i + frames; ++j) {
                block += NumberedFrame(j);
                answered += 1 + NumberedFrame(j).size();
            }
            written += Write(block) == static_cast<jlong>(block.size()) ? frames : 0;
            i += frames;
            for (int waited = 0; received < answered && waited < 5000; ++waited) {
                Sleep(1);
            }
        }
        reader.join();
        EXPECT_EQ(kFrames, written);
        EXPECT_EQ(0, failedReads);
        EXPECT_EQ(expected.size(), replies.size());
        EXPECT_TRUE(expected == replies) << "the answers came out of order, twice or in part";
    }

    // A closeDevice while another thread waits in readData ends that read
    // with null, at whatever moment of the read it comes.
    void ExpectCloseEndsAWaitingRead(const char* deviceBus) {
        for (int round = 0; round < 100; ++round) {
            ASSERT_EQ(0, Open(deviceBus, TestPort(), false)) << "round " << round;
            SetTimeout(5, 5);
            std::atomic<bool> reading{false};
            std::string got;
            std::thread reader([&] {
                zkpos_test::TestJniEnv jni;
                reading = true;
                jbyteArray bytes = dll_.readData(jni.Env(), jni.Self(), 0);
                got = bytes == nullptr ? "(null)" : jni.BytesOf(bytes);
            });
            while (!reading) {
                Sleep(1);
            }
            Sleep(static_cast<DWORD>(round % 10));
            EXPECT_EQ(0, Close());
            reader.join();
            ASSERT_EQ("(null)", got) << "round " << round;
        }
    }

    static std::string NumberedFrame(int number) {
        char frame[8];
        snprintf(frame, sizeof frame,
                 "\x02"
                 "F%03d"
                 "\x03",
                 number % 1000);
        return frame;
    }

    zkpos_test::TestJniEnv jni_;
    WinPortCommDll dll_;
    std::string logFolder_;
};

using Serial = Device;
using SerialLarge = Device;
using SerialHangUp = Device;
using Tcp = Device;
using TcpLarge = Device;
using TcpHangUp = Device;
using TcpSilent = Device;
using TcpNoDevice = Device;
using Usb = Device;
using UsbNoPrinter = Device;
using SerialThreads = Device;
using TcpThreads = Device;
using UsbThreads = Device;
using TcpSilentNameServer = Device;

// Resolves one entry of a loaded layer with the type of its declaration.
template <typename Entry>
Entry LayerEntry(HMODULE layer, const char* name) {
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(layer, name)));
}

// The exit code of this program started again to open portName itself.
DWORD OpenFromSecondProgram(const std::string& portName) {
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --open-serial " + portName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 1000;
    }
    DWORD code = 1001;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

int OpenSerialAndExit(const char* portName) {
    HMODULE layer = LoadLibraryA(FolderBesideProgram("port\\ZkLink64.dll").c_str());
    if (layer == nullptr) {
        return 1002;
    }
    auto create = LayerEntry<decltype(&CreateCommunicationPort)>(layer, "CreateCommunicationPort");
    auto init = LayerEntry<decltype(&InitSerialPort)>(layer, "InitSerialPort");
    auto open = LayerEntry<decltype(&::Open)>(layer, "Open");
    int id = 0;
    int result = create(ZKLINK_KIND_SERIAL, 0, 0, nullptr, &id);
    if (result == 0) {
        result = init(portName, 9600, 1, 7, 0, 0);
    }
    return result == 0 ? open() : result;
}

}  // namespace

TEST_F(Serial, OpensEchoesAFrameWithAckAndAnswersEnq) {
    ExpectEchoAndStatus("RS232");
    EXPECT_NE(std::string::npos, LayerLog().find("open at 9600 baud")) << LayerLog();
}

TEST_F(Serial, AReadTimeOutReturnsNothingAfterAboutTheTimeOut) {
    ExpectReadTimeOutReturnsNothing("RS232");
}

TEST_F(Serial, ASecondProgramIsRefusedWhileTheFirstHoldsThePort) {
    ASSERT_EQ(0, Open("RS232", TestPort()));
    EXPECT_EQ(static_cast<DWORD>(ZKLINK_E_IN_USE), OpenFromSecondProgram(TestPort()));
    EXPECT_EQ(7, Write(kFrame)) << "the first program keeps its port";
    EXPECT_EQ(kEchoed, ReadUpTo(8));
    Close();
    EXPECT_EQ(static_cast<DWORD>(ZKLINK_OK), OpenFromSecondProgram(TestPort()))
        << "once closed, the port is free again";
}

// A lock name Windows cannot make must not let the port be shared unguarded.
TEST_F(Serial, APortWhoseLockCannotBeMadeIsRefusedNotShared) {
    const char* longPort = getenv("ZKLINK_TEST_LONG_PORT");
    ASSERT_NE(nullptr, longPort);
    EXPECT_EQ(-1, Open("RS232", longPort));
    EXPECT_NE(std::string::npos, LayerLog().find("cannot be made")) << LayerLog();
    EXPECT_EQ(0, Open("RS232", TestPort())) << "the device itself is there";
}

TEST_F(SerialThreads, AReaderAndAWriterAtOnceMoveEveryFrameOnceInOrder) {
    ExpectReaderAndWriterShareThePort("RS232");
}

TEST_F(SerialThreads, ACloseEndsAWaitingReadWithNull) {
    ExpectCloseEndsAWaitingRead("RS232");
}

TEST_F(SerialLarge, A1500ByteReplyArrivesWholeOverSeveralReads) {
    ExpectLargeReplyWholeOverSeveralReads("RS232");
}

TEST_F(SerialHangUp, TheDeviceHangingUpIsAnError) {
    ExpectHangUpIsAnError("RS232");
    EXPECT_NE(std::string::npos, LayerLog().find("Read: \\\\.\\COM200 is gone")) << LayerLog();
}

TEST_F(Tcp, OpensEchoesAFrameWithAckAndAnswersEnq) {
    ExpectEchoAndStatus("Ethernet");
    EXPECT_NE(std::string::npos, LayerLog().find("connected to 127.0.0.1:9100")) << LayerLog();
}

TEST_F(Tcp, AReadTimeOutReturnsNothingAfterAboutTheTimeOut) {
    ExpectReadTimeOutReturnsNothing("Ethernet");
}

TEST_F(Tcp, ThePortDllFindsTheLayerBesideItselfWhenNoneIsOnTheSearchPath) {
    ASSERT_EQ(0, Open("Ethernet", TestPort()));
    std::string layerPath = FolderBesideProgram("port\\ZkLink64.dll");
    HMODULE loaded = GetModuleHandleA("ZkLink64.dll");
    char loadedPath[MAX_PATH] = "";
    GetModuleFileNameA(loaded, loadedPath, sizeof loadedPath);
    EXPECT_EQ(0, _stricmp(layerPath.c_str(), loadedPath)) << loadedPath;
}

TEST_F(TcpThreads, AReaderAndAWriterAtOnceMoveEveryFrameOnceInOrder) {
    ExpectReaderAndWriterShareThePort("Ethernet");
}

TEST_F(TcpThreads, ACloseEndsAWaitingReadWithNull) {
    ExpectCloseEndsAWaitingRead("Ethernet");
}

// The lookup, like the connect, is bounded by the write time-out in force.
TEST_F(TcpSilentNameServer, ALookupWithNoAnswerFailsWithinTheConnectTimeOut) {
    HMODULE layer = LoadLibraryA(FolderBesideProgram("port\\ZkLink64.dll").c_str());
    ASSERT_NE(nullptr, layer);
    char temp[MAX_PATH] = "";
    ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
    std::string log = std::string(temp) + "zklink-lookup.log";
    DeleteFileA(log.c_str());
    int id = 0;
    ASSERT_EQ(ZKLINK_OK,
              LayerEntry<decltype(&CreateCommunicationPort)>(layer, "CreateCommunicationPort")(
                  ZKLINK_KIND_TCP, 1, 8, log.c_str(), &id));
    ASSERT_EQ(ZKLINK_OK,
              LayerEntry<decltype(&InitEthTCP)>(layer, "InitEthTCP")(TestPort().c_str(), 9100));
    ASSERT_EQ(ZKLINK_OK, LayerEntry<decltype(&SetEthTimeout)>(layer, "SetEthTimeout")(1000, 1000));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ZKLINK_E_TIMEOUT, LayerEntry<decltype(&::Open)>(layer, "Open")());
    EXPECT_LT(MillisecondsSince(start), 1000 + 2000) << "the lookup outlasted the time-out";
    EXPECT_NE(std::string::npos,
              FileText(log).find("no answer from the name service within 1000 ms"))
        << FileText(log);
    LayerEntry<decltype(&DeleteAllLayerItems)>(layer, "DeleteAllLayerItems")();
}

TEST_F(TcpLarge, A1500ByteReplyArrivesWholeOverSeveralReads) {
    ExpectLargeReplyWholeOverSeveralReads("Ethernet");
}

TEST_F(TcpHangUp, ThePeerClosingMidConversationIsAnError) {
    ExpectHangUpIsAnError("Ethernet");
    EXPECT_NE(std::string::npos, LayerLog().find("Read: the device closed the connection"));
}

TEST_F(TcpSilent, ASilentPeerTakesFramesAndReadsReturnNothing) {
    ASSERT_EQ(0, Open("Ethernet", TestPort()));
    SetTimeout(2, 1);
    EXPECT_EQ(7, Write(kFrame));
    EXPECT_EQ("", ReadOnce());
    EXPECT_EQ(1, Write(kEnq));
    EXPECT_EQ("", ReadOnce());
}

TEST_F(TcpNoDevice, ARefusedConnectFailsTheOpenWithItsOwnLine) {
    EXPECT_EQ(-1, Open("Ethernet", "127.0.0.1:9101"));
    EXPECT_NE(std::string::npos, LayerLog().find("127.0.0.1:9101: connection refused"))
        << LayerLog();
}

TEST_F(TcpNoDevice, AHostNameThatDoesNotResolveFailsTheOpenWithItsOwnLine) {
    EXPECT_EQ(-1, Open("Ethernet", "nohost.invalid"));
    EXPECT_NE(std::string::npos, LayerLog().find("the host name nohost.invalid does not resolve"))
        << LayerLog();
}

TEST_F(TcpNoDevice, ALayerOnTheSearchPathWinsOverTheOneBesideThePortDll) {
    ZkLinkStandIn standIn{};
    ASSERT_TRUE(LoadZkLinkStandIn("stand-in", &standIn));
    standIn.Reset();
    EXPECT_EQ(0, Open("Ethernet", "127.0.0.1:9101")) << "the stand-in answers 0 to everything";
    EXPECT_NE(std::string::npos,
              standIn.CallNames().find("CreateCommunicationPort InitEthTCP Open"));
    EXPECT_EQ(nullptr, GetModuleHandleA(FolderBesideProgram("port\\ZkLink64.dll").c_str()));
}

// The device path is a terminal here: a serial-class device behind a USB
// printer's name, as a virtual COM port would be.
TEST_F(Usb, OpensWritesAndReadsThroughADevicePath) {
    ExpectEchoAndStatus("USB");
    EXPECT_NE(std::string::npos, LayerLog().find("Open: \\\\.\\zkusb open")) << LayerLog();
}

TEST_F(Usb, AReadTimeOutReturnsNothingAfterAboutTheTimeOut) {
    ExpectReadTimeOutReturnsNothing("USB");
}

TEST_F(UsbThreads, AReaderAndAWriterAtOnceMoveEveryFrameOnceInOrder) {
    ExpectReaderAndWriterShareThePort("USB");
}

TEST_F(UsbThreads, ACloseEndsAWaitingReadWithNull) {
    ExpectCloseEndsAWaitingRead("USB");
}

TEST_F(UsbNoPrinter, ANameThatMatchesNoPrinterFailsTheOpenWithALogLine) {
    EXPECT_EQ(-1, Open("USB", "vid_ffff&pid_ffff"));
    EXPECT_NE(std::string::npos,
              LayerLog().find("Open: no USB printer matches the name vid_ffff&pid_ffff"))
        << LayerLog();
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--open-serial") {
        return OpenSerialAndExit(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
