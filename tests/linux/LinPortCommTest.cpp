// SPDX-License-Identifier: Apache-2.0
// The six native methods called as a JVM calls them, through the test JNI
// environment: the cases a real JVM reaches badly (a failing NewByteArray, a
// null array, the release mode of every array) and the device-state rules.
// The suite runs through private-run.sh: the trace file /var/log/ZkPosSoLog.txt
// and the TCP port 9100 are its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "TestJniEnv.h"
#include "TraceFile.h"
#include "ZkPosPortComm.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::MonotonicMs;

const char kTraceFile[] = "/var/log/ZkPosSoLog.txt";

class LinPortCommTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The state at load: no port, no kind, default time-outs.
        m_iFD = -1;
        m_iDeviceType = 0;
        m_lReadTimeout = 5;
        m_lWriteTimeout = 5;
        m_lReadBufferSize = 2048;
        m_lWriteBufferSize = 2048;
        m_bDebug = false;
        ASSERT_TRUE(pty.Ready()) << pty.Error();
    }
    void TearDown() override {
        EndPort(true);
        m_bDebug = false;
        StopLog();
        EXPECT_EQ(std::vector<std::string>{}, jni.Problems());
    }

    jlong OpenDevice(const char* bus, const std::string& port, jint baudRate = 9600,
                     bool debug = false, jint verbosity = 0) {
        return Java_com_zelkor_jpos_services_LinPortComm_openDevice(
            jni.Env(), jni.Self(), jni.MakeString(bus), jni.MakeString(port.c_str()), baudRate,
            debug ? JNI_TRUE : JNI_FALSE, verbosity);
    }
    jlong CloseDevice() {
        return Java_com_zelkor_jpos_services_LinPortComm_closeDevice(jni.Env(), jni.Self());
    }
    jbyteArray ReadData() {
        return Java_com_zelkor_jpos_services_LinPortComm_readData(jni.Env(), jni.Self(), 0);
    }
    jlong WriteData(jbyteArray data, jlong size) {
        return Java_com_zelkor_jpos_services_LinPortComm_writeData(jni.Env(), jni.Self(), data,
                                                                   size);
    }
    void SetDeviceTimeout(jlong writeSeconds, jlong readSeconds) {
        Java_com_zelkor_jpos_services_LinPortComm_SetDeviceTimeout(jni.Env(), jni.Self(),
                                                                   writeSeconds, readSeconds);
    }
    void SetDeviceBuffer(jlong writeSize, jlong readSize) {
        Java_com_zelkor_jpos_services_LinPortComm_SetDeviceBuffer(jni.Env(), jni.Self(), writeSize,
                                                                  readSize);
    }

    zkpos_test::TestJniEnv jni;
    zkpos_test::PtyPair pty;
};

struct BusCase {
    const char* bus;
    int kind;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const BusCase& value) {
    return out << "\"" << value.bus << "\"";
}

class AssignDeviceTest : public ::testing::TestWithParam<BusCase> {};

TEST_P(AssignDeviceTest, OnlyRs232ExactlyIsSerial) {
    std::string bus = GetParam().bus;
    m_iDeviceType = -1;
    AssignDevice(&bus[0]);
    EXPECT_EQ(GetParam().kind, m_iDeviceType) << '"' << GetParam().bus << '"';
}

INSTANTIATE_TEST_SUITE_P(DeviceBus, AssignDeviceTest,
                         ::testing::Values(BusCase{"RS232", 1}, BusCase{"rs232", 2},
                                           BusCase{"Rs232", 2}, BusCase{"RS232 ", 2},
                                           BusCase{" RS232", 2}, BusCase{"RS2320", 2},
                                           BusCase{"Ethernet", 2}, BusCase{"USB", 2},
                                           BusCase{"", 2}));

TEST(AssignDeviceNullTest, NullBusIsTheEmptyTextAndSoEthernet) {
    m_iDeviceType = -1;
    AssignDevice(nullptr);
    EXPECT_EQ(2, m_iDeviceType);
}

TEST_F(LinPortCommTest, CallsBeforeAnyOpenReachNoTransport) {
    long start = MonotonicMs();
    EXPECT_EQ(nullptr, ReadData());
    EXPECT_LT(MonotonicMs() - start, 1000) << "no transport waited";
    EXPECT_EQ(0, jni.NewByteArrayCalls());
    EXPECT_EQ(0, WriteData(jni.MakeByteArray("0123456789"), 10));
    EXPECT_EQ(std::vector<jint>{0}, jni.ReleaseModes());
}

TEST_F(LinPortCommTest, SerialPortCarriesBytesBothWays) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600));
    EXPECT_EQ(1, m_iDeviceType);
    EXPECT_GE(m_iFD, 0);
    EXPECT_EQ(2, jni.GetStringUTFCharsCalls());

    EXPECT_EQ(10, WriteData(jni.MakeByteArray("0123456789"), 3)) << "the size is not used";
    EXPECT_EQ("0123456789", pty.Receive(10, 2000));

    ASSERT_TRUE(pty.Send("pong"));
    ASSERT_TRUE(pty.WaitQueued(4, 2000));
    jbyteArray read = ReadData();
    ASSERT_NE(nullptr, read);
    EXPECT_EQ("pong", jni.BytesOf(read));

    EXPECT_EQ(0, CloseDevice());
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(1, m_iDeviceType) << "close keeps the kind";
    EXPECT_EQ(0, CloseDevice()) << "closing twice is harmless";
    EXPECT_EQ((std::vector<jint>{0}), jni.ReleaseModes());
}

TEST_F(LinPortCommTest, ReadDataReturnsNullWhenNewByteArrayFails) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    ASSERT_TRUE(pty.Send("abc"));
    ASSERT_TRUE(pty.WaitQueued(3, 2000));
    jni.SetNewByteArrayFails(true);
    EXPECT_EQ(nullptr, ReadData());
    EXPECT_EQ(1, jni.NewByteArrayCalls());
    EXPECT_FALSE(jni.ExceptionPending()) << "no exception reaches the Java side";
}

TEST_F(LinPortCommTest, WriteDataWhoseBytesCannotBeHadSendsNothing) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    jni.SetGetByteArrayElementsFails(true);
    EXPECT_EQ(-1, WriteData(jni.MakeByteArray("abc"), 3));
    EXPECT_EQ("", pty.Receive(1, 200));
    EXPECT_FALSE(jni.ExceptionPending()) << "no exception reaches the Java side";
}

TEST_F(LinPortCommTest, WriteDataWithNullArraySendsNothingAndReturnsMinusOne) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    EXPECT_EQ(-1, WriteData(nullptr, 0));
    EXPECT_EQ(-1, WriteData(nullptr, 5));
    EXPECT_EQ("", pty.Receive(1, 200));
    EXPECT_EQ(0, jni.GetByteArrayElementsCalls());
}

TEST_F(LinPortCommTest, WriteDataReleasesTheBytesWithModeZeroAlsoWhenTheWriteFails) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    EXPECT_EQ(4, WriteData(jni.MakeByteArray("good"), 4));
    ASSERT_EQ(0, CloseDevice());
    jbyteArray data = jni.MakeByteArray("lost");
    EXPECT_EQ(-1, WriteData(data, 4));
    EXPECT_EQ((std::vector<jint>{0, 0}), jni.ReleaseModes());
    EXPECT_EQ(0u, jni.UnreleasedElements());
    EXPECT_EQ("lost", jni.BytesOf(data)) << "the library does not write into the array";
}

TEST_F(LinPortCommTest, EmptyArrayWritesNothingAndReturnsZero) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    EXPECT_EQ(0, WriteData(jni.MakeByteArray(""), 0));
    EXPECT_EQ("", pty.Receive(1, 200));
    EXPECT_EQ(std::vector<jint>{0}, jni.ReleaseModes());
}

TEST_F(LinPortCommTest, ReadDataGivesAtMost1024BytesWhateverTheBufferSize) {
    SetDeviceBuffer(4096, 4096);
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    std::string sent;
    for (int i = 0; i < 1500; ++i) {
        sent += static_cast<char>('0' + i % 10);
    }
    ASSERT_TRUE(pty.Send(sent));
    ASSERT_TRUE(pty.WaitQueued(1500, 3000));
    jbyteArray first = ReadData();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(sent.substr(0, 1024), jni.BytesOf(first));
    jbyteArray rest = ReadData();
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ(sent.substr(1024), jni.BytesOf(rest));
}

TEST_F(LinPortCommTest, SerialReadTimeOutGivesNullAfterTheReadTimeOut) {
    SetDeviceTimeout(5, 1);
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    long start = MonotonicMs();
    EXPECT_EQ(nullptr, ReadData());
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
}

TEST_F(LinPortCommTest, TimeOutsAndBufferSizesAreStoredAsGivenAndSurviveReopen) {
    SetDeviceTimeout(11, 13);
    SetDeviceBuffer(100, 200);
    EXPECT_EQ(11, m_lWriteTimeout);
    EXPECT_EQ(13, m_lReadTimeout);
    EXPECT_EQ(100, m_lWriteBufferSize);
    EXPECT_EQ(200, m_lReadBufferSize);
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    ASSERT_EQ(0, CloseDevice());
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    EXPECT_EQ(11, m_lWriteTimeout);
    EXPECT_EQ(13, m_lReadTimeout);
    EXPECT_EQ(100, m_lWriteBufferSize);
    EXPECT_EQ(200, m_lReadBufferSize);
}

TEST_F(LinPortCommTest, SecondOpenForgetsTheFirstPortWithoutClosingIt) {
    zkpos_test::PtyPair second;
    ASSERT_TRUE(second.Ready()) << second.Error();
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    int first = m_iFD;
    ASSERT_EQ(0, OpenDevice("RS232", second.SlavePath()));
    EXPECT_NE(first, m_iFD);
    EXPECT_NE(-1, fcntl(first, F_GETFD)) << "the first port stays open";
    EXPECT_EQ(3, WriteData(jni.MakeByteArray("two"), 3));
    EXPECT_EQ("two", second.Receive(3, 2000));
    EXPECT_EQ("", pty.Receive(1, 100));
    close(first);
}

TEST_F(LinPortCommTest, FailedSerialOpenReturnsMinusOneAndKeepsTheKind) {
    EXPECT_EQ(-1, OpenDevice("RS232", "/dev/zkpos-no-such-tty"));
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(1, m_iDeviceType);
    EXPECT_EQ(-1, WriteData(jni.MakeByteArray("x"), 1));
}

TEST_F(LinPortCommTest, Rs232InSmallLettersTakesTheEthernetPathAndFailsTheLookup) {
    long start = MonotonicMs();
    EXPECT_EQ(-1, OpenDevice("rs232", "COM1"));
    EXPECT_LT(MonotonicMs() - start, 10000);
    EXPECT_EQ(2, m_iDeviceType);
    EXPECT_EQ(-1, m_iFD);
}

TEST_F(LinPortCommTest, NullStringsFailTheOpenWithoutCrashing) {
    EXPECT_EQ(-1, Java_com_zelkor_jpos_services_LinPortComm_openDevice(
                      jni.Env(), jni.Self(), nullptr, nullptr, 9600, JNI_FALSE, 0));
    EXPECT_EQ(-1, m_iFD);
}

TEST_F(LinPortCommTest, EthernetPortCarriesBytesBothWaysAndTakesNewTimeOutsAtOnce) {
    zkpos_test::LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_EQ(0, OpenDevice("Ethernet", "127.0.0.1"));
    EXPECT_EQ(2, m_iDeviceType);
    ASSERT_TRUE(peer.Accept(2000));

    EXPECT_EQ(10, WriteData(jni.MakeByteArray("0123456789"), 3));
    EXPECT_EQ("0123456789", peer.Receive(10, 2000));
    ASSERT_TRUE(peer.Send("ok"));
    jbyteArray read = ReadData();
    ASSERT_NE(nullptr, read);
    EXPECT_EQ("ok", jni.BytesOf(read));

    SetDeviceTimeout(7, 3);
    struct timeval value;
    socklen_t length = sizeof(value);
    ASSERT_EQ(0, getsockopt(m_iFD, SOL_SOCKET, SO_SNDTIMEO, &value, &length));
    EXPECT_EQ(7, value.tv_sec);
    length = sizeof(value);
    ASSERT_EQ(0, getsockopt(m_iFD, SOL_SOCKET, SO_RCVTIMEO, &value, &length));
    EXPECT_EQ(3, value.tv_sec);

    peer.CloseConnection();
    EXPECT_EQ(nullptr, ReadData()) << "a closed connection reads as nothing";
    EXPECT_EQ(0, CloseDevice());
}

TEST_F(LinPortCommTest, AnyOtherBusIsEthernet) {
    const char* const buses[] = {"USB", "", "rs232"};
    for (const char* bus : buses) {
        zkpos_test::LoopbackPeer peer;
        ASSERT_TRUE(peer.Ready()) << peer.Error();
        ASSERT_EQ(0, OpenDevice(bus, "127.0.0.1")) << '"' << bus << '"';
        EXPECT_EQ(2, m_iDeviceType);
        EXPECT_TRUE(peer.Accept(2000));
        ASSERT_EQ(0, CloseDevice());
    }
}

// The trace file of the entry points, /var/log/ZkPosSoLog.txt: only ever in
// the private /var/log that private-run.sh mounts.
class EntryTraceTest : public LinPortCommTest {
protected:
    void SetUp() override {
        const char* privateRun = getenv("ZKPOS_PRIVATE_RUN");
        ASSERT_TRUE(privateRun != nullptr && std::string(privateRun) == "1")
            << "this suite writes /var/log/ZkPosSoLog.txt: run it through "
               "tests/support/private-run.sh";
        LinPortCommTest::SetUp();
        unlink(kTraceFile);
    }
    // The lines written so far, without their date prefixes (every line
    // must have one).
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        for (const std::string& line : zkpos_test::ReadLines(kTraceFile)) {
            EXPECT_TRUE(zkpos_test::HasDatePrefix(line)) << line;
            lines.push_back(zkpos_test::WithoutDatePrefix(line));
        }
        return lines;
    }
};

TEST_F(EntryTraceTest, SerialOpenAtVerbosityFiveWritesEveryStep) {
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenDevice("RS232", path, 9600, true, 5));
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "ZkPosSo::openDevice --> Begin",
                           "ZkPosSo::OpenSerialPort --> Begin",
                           "ZkPosSo::OpenSerialPort --> Port Name " + path,
                           "ZkPosSo::ConvertPort --> Begin",
                           "ZkPosSo::ConvertPort --> strPort " + path,
                           "ZkPosSo::ConvertPort --> End",
                           "ZkPosSo::OpenSerialPort --> End",
                           "ZkPosSo::openDevice --> m_iDeviceType 1",
                           "ZkPosSo::openDevice --> End",
                       }));
}

TEST_F(EntryTraceTest, SerialOpenAtVerbosityThreeWritesValuesOnly) {
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenDevice("RS232", path, 9600, true, 3));
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "ZkPosSo::OpenSerialPort --> Port Name " + path,
                           "ZkPosSo::ConvertPort --> strPort " + path,
                           "ZkPosSo::openDevice --> m_iDeviceType 1",
                       }));
}

TEST_F(EntryTraceTest, DebugOffWritesNothingWhateverTheVerbosity) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, false, 5));
    EXPECT_EQ(3, WriteData(jni.MakeByteArray("abc"), 3));
    EXPECT_EQ(0, CloseDevice());
    EXPECT_FALSE(zkpos_test::FileExists(kTraceFile));
}

TEST_F(EntryTraceTest, BadVerbosityTurnsTracingOffButTheOpenSucceeds) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, true, 9));
    EXPECT_EQ(0, GetVerbosity());
    EXPECT_EQ(std::vector<std::string>{}, Lines());
}

TEST_F(EntryTraceTest, CallsWithoutAKindTraceTheirResults) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, true, 5));
    unlink(kTraceFile);
    m_iDeviceType = 0;
    EXPECT_EQ(nullptr, ReadData());
    EXPECT_EQ(0, WriteData(jni.MakeByteArray("abc"), 3));
    SetDeviceTimeout(5, 5);
    SetDeviceBuffer(2048, 2048);
    EXPECT_EQ(0, CloseDevice());
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "ZkPosSo::readData --> Begin",
                           "ZkPosSo::readData --> iResult -1",
                           "ZkPosSo::readData --> End",
                           "ZkPosSo::writeData --> Begin",
                           "ZkPosSo::writeData --> pcbWritten 0",
                           "ZkPosSo::writeData --> End",
                           "ZkPosSo::SetDeviceTimeout --> Begin",
                           "ZkPosSo::SetDeviceTimeout --> End",
                           "ZkPosSo::SetDeviceBuffer --> Begin",
                           "ZkPosSo::SetDeviceBuffer --> End",
                           "ZkPosSo::closeDevice --> Begin",
                           "ZkPosSo::closeDevice --> End",
                       }));
}

TEST_F(EntryTraceTest, SuccessfulReadWritesNoEndLine) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, true, 5));
    ASSERT_TRUE(pty.Send("abc"));
    ASSERT_TRUE(pty.WaitQueued(3, 2000));
    unlink(kTraceFile);
    ASSERT_NE(nullptr, ReadData());
    ASSERT_EQ(4, WriteData(jni.MakeByteArray("\x02OK\x03"), 4));
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "ZkPosSo::readData --> Begin",
                           "ZkPosSo::ReadFromSerialPort --> Begin",
                           "ZkPosSo::ReadFromSerialPort --> strRead (abc) 3 ",
                           "ZkPosSo::ReadFromSerialPort --> End",
                           "ZkPosSo::readData --> iResult 3",
                           "ZkPosSo::writeData --> Begin",
                           "ZkPosSo::WriteToSerialPort --> Begin",
                           "ZkPosSo::WriteToSerialPort --> strToSend (|0x02|OK|0x03|)",
                           "ZkPosSo::WriteToSerialPort --> End",
                           "ZkPosSo::writeData --> pcbWritten 4",
                           "ZkPosSo::writeData --> End",
                       }));
}

TEST_F(EntryTraceTest, SerialTimeOutTracesZeroThenEnd) {
    SetDeviceTimeout(5, 0);
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, true, 3));
    unlink(kTraceFile);
    EXPECT_EQ(nullptr, ReadData());
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "ZkPosSo::ReadFromSerialPort --> strRead () 0 ",
                           "ZkPosSo::readData --> iResult 0",
                       }));
}

// Descriptors no child inherits: a host that starts a program (native code in
// the same JVM, a Runtime.exec) must not keep the device's line or its one
// connection after closeDevice.
bool CloseOnExec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

TEST_F(LinPortCommTest, EveryDescriptorTheLibraryOpensIsCloseOnExec) {
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    EXPECT_TRUE(CloseOnExec(m_iFD)) << "serial line";
    zkpos_test::LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_EQ(0, OpenDevice("Ethernet", "127.0.0.1"));
    EXPECT_TRUE(CloseOnExec(m_iFD)) << "socket";

    zkpos_test::TemporaryDirectory dir;
    for (const char* name : {"trace.txt", "trace.dat"}) {
        std::string path = dir.File(name);
        ASSERT_TRUE(zkpos_test::WriteFileBytes(path, ""));
        ASSERT_EQ(0, zkpos_test::TraceInto(path, 5));
        ASSERT_EQ(0, OpenLogFile());
        EXPECT_TRUE(CloseOnExec(m_bTxt != 0 ? fileno(m_TextFile) : m_iStreamOut)) << name;
        EXPECT_EQ(0, CloseLogFile());
    }
    zkpos_test::TraceOff();
}

TEST_F(LinPortCommTest, ChildStartedByTheHostDoesNotKeepTheConnection) {
    zkpos_test::LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_EQ(0, OpenDevice("Ethernet", "127.0.0.1"));
    ASSERT_TRUE(peer.Accept(2000));
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sleep", "sleep", "6", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(0, CloseDevice());
    long start = MonotonicMs();
    EXPECT_EQ("", peer.Receive(1, 4000));
    EXPECT_LT(MonotonicMs() - start, 2000) << "the device saw the end only when the child left";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_F(LinPortCommTest, StringTheVmCannotConvertFailsTheOpenWithNoExceptionLeft) {
    jni.SetGetStringUTFCharsFails(true);
    EXPECT_EQ(-1, OpenDevice("RS232", pty.SlavePath()));
    EXPECT_FALSE(jni.ExceptionPending()) << "no exception reaches the Java side";
    EXPECT_EQ(1, jni.GetStringUTFCharsCalls()) << "no JNI call meets a pending exception";
    EXPECT_EQ(-1, m_iFD);
}

// Java passes 64-bit time-outs; a 32-bit long keeps the most it can hold, and
// a time-out beyond what the clock counts is a wait without end, never none.
class TimeOutExtremeTest : public LinPortCommTest, public ::testing::WithParamInterface<jlong> {};

TEST_P(TimeOutExtremeTest, HugeTimeOutWaitsAndNeverWraps) {
    const jlong seconds = GetParam();
    SetDeviceTimeout(seconds, seconds);
    const long kept = seconds > std::numeric_limits<long>::max() ? std::numeric_limits<long>::max()
                                                                 : static_cast<long>(seconds);
    EXPECT_EQ(kept, m_lReadTimeout);
    EXPECT_EQ(kept, m_lWriteTimeout);
    struct timespec now = WaitStart();
    Deadline deadline = DeadlineAfter(now, kept, 999999);
    EXPECT_TRUE(deadline.unlimited || deadline.end.tv_sec > now.tv_sec)
        << "the deadline wrapped into the past";

    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath()));
    std::atomic<bool> done{false};
    std::string read;
    std::thread reader([&] {
        zkpos_test::TestJniEnv readerJni;
        jbyteArray data = Java_com_zelkor_jpos_services_LinPortComm_readData(readerJni.Env(),
                                                                             readerJni.Self(), 0);
        read = data != nullptr ? readerJni.BytesOf(data) : "(null)";
        done.store(true);
    });
    usleep(1500 * 1000);
    EXPECT_FALSE(done.load()) << "the read did not wait";
    ASSERT_TRUE(pty.Send("x"));
    reader.join();
    EXPECT_EQ("x", read);
}

INSTANTIATE_TEST_SUITE_P(Seconds, TimeOutExtremeTest,
                         ::testing::Values(jlong{2147483648LL}, jlong{4294967297LL},
                                           std::numeric_limits<jlong>::max()));

// A path is taken as written, even when its name holds "COM1" to "COM4", as
// the names under /dev/serial/by-id often do.
TEST_F(LinPortCommTest, DevicePathWithAComNameInsideIsOpenedAsWritten) {
    zkpos_test::TemporaryDirectory dir;
    std::string byId = dir.File("usb-FTDI_COM3_Adapter-if00");
    ASSERT_EQ(0, symlink(pty.SlavePath().c_str(), byId.c_str()));
    ASSERT_STREQ(byId.c_str(), ConvertPort(byId.c_str()));
    ASSERT_EQ(0, OpenDevice("RS232", byId));
    EXPECT_EQ(3, WriteData(jni.MakeByteArray("abc"), 3));
    EXPECT_EQ("abc", pty.Receive(3, 2000));
}

// A FIFO at the trace path, with no reader or a reader that never reads,
// costs the trace lines and nothing else: the open and the calls go on.
TEST_F(LinPortCommTest, FifoAtTheTracePathNeverHoldsUpThePort) {
    unlink(kTraceFile);
    ASSERT_EQ(0, mkfifo(kTraceFile, 0600));
    std::atomic<bool> done{false};
    jlong opened = -2;
    std::thread opener([&] {
        zkpos_test::TestJniEnv openerJni;
        opened = Java_com_zelkor_jpos_services_LinPortComm_openDevice(
            openerJni.Env(), openerJni.Self(), openerJni.MakeString("RS232"),
            openerJni.MakeString(pty.SlavePath().c_str()), 9600, JNI_TRUE, 5);
        done.store(true);
    });
    long start = MonotonicMs();
    while (!done.load() && MonotonicMs() - start < 3000) {
        usleep(10 * 1000);
    }
    bool hung = !done.load();
    // A reader lets an open that hangs go. It never reads, and with it there
    // the FIFO takes no line either.
    int reader = open(kTraceFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    opener.join();
    EXPECT_FALSE(hung) << "openDevice hung on the FIFO";
    EXPECT_EQ(0, opened);
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, true, 5));
    EXPECT_EQ(3, WriteData(jni.MakeByteArray("abc"), 3));
    EXPECT_EQ("abc", pty.Receive(3, 2000));
    char line[64];
    EXPECT_LE(read(reader, line, sizeof line), 0) << "a line went into the FIFO";
    close(reader);
    unlink(kTraceFile);

    // A link at the path is followed to the regular file it names.
    zkpos_test::TemporaryDirectory dir;
    std::string target = dir.File("kept.txt");
    ASSERT_EQ(0, symlink(target.c_str(), kTraceFile));
    ASSERT_EQ(0, OpenDevice("RS232", pty.SlavePath(), 9600, true, 3));
    EXPECT_FALSE(zkpos_test::ReadLines(target).empty());
    unlink(kTraceFile);
}

}  // namespace
