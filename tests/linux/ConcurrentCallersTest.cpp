// SPDX-License-Identifier: Apache-2.0
// A service with a reader thread and a writer thread on the one port, tracing
// at level 5: the calls of both threads go through the native methods at the
// same time, every trace line reaches the file whole, and a reader that waits
// for data never holds up the writer. The suite runs through private-run.sh
// (the trace file /var/log/ZkPosSoLog.txt and TCP port 9100 are its own) and
// also under ThreadSanitizer. A third thread that closes or replaces the port
// ends a call that waits on it, even under a profiler's signals, and the
// call never reaches the connection that the process opens next.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "Signaller.h"
#include "TestJniEnv.h"
#include "TraceFile.h"
#include "ZkPosPortComm.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::LoopbackPeer;
using zkpos_test::MonotonicMs;
using zkpos_test::TestJniEnv;

const char kTraceFile[] = "/var/log/ZkPosSoLog.txt";
const int kCalls = 10000;
// What the writer sends per call, and what the device sends for the reader:
// enough that each of the reader's calls finds data, whatever it takes.
const std::string kWritten(16, 'w');
const size_t kReadable = static_cast<size_t>(kCalls) * ZKPOS_READ_BLOCK_SIZE;

class ConcurrentCallersTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* privateRun = getenv("ZKPOS_PRIVATE_RUN");
        ASSERT_TRUE(privateRun != nullptr && std::string(privateRun) == "1")
            << "this suite writes /var/log/ZkPosSoLog.txt: run it under "
               "tests/support/private-run.sh";
        unlink(kTraceFile);
        m_iFD = -1;
        m_lReadTimeout = 5;
        m_lWriteTimeout = 5;
        ASSERT_TRUE(peer.Ready()) << peer.Error();
    }
    void TearDown() override {
        CloseDevice();
        StopLog();
        m_bDebug = false;
    }

    void OpenTraced() {
        ASSERT_EQ(0, Java_com_zelkor_jpos_services_LinPortComm_openDevice(
                         opener.Env(), opener.Self(), opener.MakeString("Ethernet"),
                         opener.MakeString("127.0.0.1"), 9600, JNI_TRUE, 5));
        ASSERT_TRUE(peer.Accept(2000));
        // Only the lines of the calls under test stay in the file.
        ASSERT_EQ(0, truncate(kTraceFile, 0));
    }
    void CloseDevice() {
        Java_com_zelkor_jpos_services_LinPortComm_closeDevice(opener.Env(), opener.Self());
    }

    TestJniEnv opener;
    LoopbackPeer peer;
};

// Each thread has a JNI environment of its own, as each Java thread has.
int ReadCalls(int calls, size_t* bytes) {
    TestJniEnv jni;
    int filled = 0;
    for (int call = 0; call < calls; ++call) {
        jbyteArray data =
            Java_com_zelkor_jpos_services_LinPortComm_readData(jni.Env(), jni.Self(), 0);
        if (data != nullptr) {
            ++filled;
            *bytes += jni.BytesOf(data).size();
        }
    }
    return filled;
}

int WriteCalls(int calls) {
    TestJniEnv jni;
    int whole = 0;
    for (int call = 0; call < calls; ++call) {
        jlong sent = Java_com_zelkor_jpos_services_LinPortComm_writeData(
            jni.Env(), jni.Self(), jni.MakeByteArray(kWritten), 0);
        whole += sent == static_cast<jlong>(kWritten.size()) ? 1 : 0;
    }
    return whole;
}

// The kind of a trace line of the two threads' calls, or "" when the line is
// not one of them whole.
std::string KindOf(const std::string& line) {
    if (!zkpos_test::HasDatePrefix(line)) {
        return "";
    }
    std::string text = zkpos_test::WithoutDatePrefix(line);
    static const std::vector<std::string> fixed = {
        "ZkPosSo::readData --> Begin",
        "ZkPosSo::ReadFromEthernetPort --> Begin",
        "ZkPosSo::ReadFromEthernetPort --> End",
        "ZkPosSo::writeData --> Begin",
        "ZkPosSo::WriteToEthernetPort --> Begin",
        "ZkPosSo::WriteToEthernetPort --> strToSend (" + kWritten + ")",
        "ZkPosSo::WriteToEthernetPort --> End",
        "ZkPosSo::writeData --> pcbWritten 16",
        "ZkPosSo::writeData --> End",
    };
    for (const std::string& known : fixed) {
        if (text == known) {
            return known;
        }
    }
    const std::string shown = "ZkPosSo::ReadFromEthernetPort --> strRead (";
    if (text.compare(0, shown.size(), shown) == 0 && text.size() > shown.size() + 1 &&
        text.back() == ')' && text.find_first_not_of('r', shown.size()) == text.size() - 1) {
        return shown + "...)";
    }
    const std::string count = "ZkPosSo::readData --> iResult ";
    if (text.compare(0, count.size(), count) == 0) {
        int value = atoi(text.c_str() + count.size());
        if (value >= 1 && value <= ZKPOS_READ_BLOCK_SIZE && text == count + std::to_string(value)) {
            return count + "n";
        }
    }
    return "";
}

TEST_F(ConcurrentCallersTest, ReaderAndWriterThreadsTraceEveryLineWhole) {
    OpenTraced();
    std::thread device([this] { peer.Send(std::string(kReadable, 'r')); });
    std::string drained;
    std::thread drain(
        [this, &drained] { drained = peer.Receive(kCalls * kWritten.size(), 120 * 1000); });

    size_t readBytes = 0;
    int filledReads = 0;
    int wholeWrites = 0;
    std::thread reader([&] { filledReads = ReadCalls(kCalls, &readBytes); });
    std::thread writer([&] { wholeWrites = WriteCalls(kCalls); });
    reader.join();
    writer.join();
    drain.join();
    std::vector<std::string> lines = zkpos_test::ReadLines(kTraceFile);
    // The device still waits for room to send the rest: closing the port with
    // data unread resets the connection, which ends that send.
    CloseDevice();
    device.join();

    EXPECT_EQ(kCalls, filledReads);
    EXPECT_EQ(kCalls, wholeWrites);
    EXPECT_EQ(kCalls * kWritten.size(), drained.size());

    std::map<std::string, int> kinds;
    int broken = 0;
    for (const std::string& line : lines) {
        std::string kind = KindOf(line);
        if (kind.empty()) {
            ++broken;
            if (broken <= 5) {
                ADD_FAILURE() << "not a whole line: " << line;
            }
            continue;
        }
        ++kinds[kind];
    }
    EXPECT_EQ(0, broken) << "of " << lines.size() << " lines";
    // Five lines per read that brought data (no End line), six per write.
    EXPECT_EQ(5u + 6u, kinds.size());
    for (const auto& kind : kinds) {
        EXPECT_EQ(kCalls, kind.second) << kind.first;
    }
}

TEST_F(ConcurrentCallersTest, WriterIsNotHeldUpByAReaderThatWaits) {
    m_lReadTimeout = 3;
    OpenTraced();
    std::atomic<bool> reading{false};
    size_t readBytes = 0;
    std::thread reader([&] {
        reading.store(true);
        ReadCalls(1, &readBytes);
    });
    while (!reading.load()) {
        usleep(1000);
    }
    usleep(100 * 1000);  // the reader is now waiting in its receive

    long start = MonotonicMs();
    EXPECT_EQ(1, WriteCalls(1));
    long elapsed = MonotonicMs() - start;
    EXPECT_EQ(kWritten, peer.Receive(kWritten.size(), 2000));
    peer.Send("x");  // lets the reader go
    reader.join();
    EXPECT_LT(elapsed, 1000) << "the write waited for the read";
    EXPECT_EQ(1u, readBytes);
}

TEST_F(ConcurrentCallersTest, SettingsChangedOnOneThreadWhileAnotherTraces) {
    zkpos_test::TemporaryDirectory dir;
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, zkpos_test::TraceInto(path, 5));
    const int lines = kCalls / 5;

    int written = 0;
    std::thread tracer([&written, lines] {
        for (int line = 0; line < lines; ++line) {
            written += PrintLog("ZkPosSo", "f", "line", 3) == LOG_OK ? 1 : 0;
        }
    });
    // Every setting the changer makes lets level 3 through, so every line is
    // written, whichever setting it meets.
    std::thread changer([&path, lines] {
        for (int change = 0; change < lines; ++change) {
            InitLog(path.c_str(), 5, 0);
            ChangeVerbosity(GetVerbosity() - 1);
            ChangePrintDate(0);
            ChangeVerbosity(3);
        }
    });
    tracer.join();
    changer.join();

    std::vector<std::string> found = zkpos_test::ReadLines(path);
    EXPECT_EQ(lines, written);
    EXPECT_EQ(static_cast<size_t>(lines), found.size());
    for (const std::string& line : found) {
        ASSERT_EQ("ZkPosSo::f --> line", line);
    }
}

}  // namespace

namespace {

// How the third thread takes the port away from a waiting call.
enum class Waiting { kTcpRead, kTcpWrite, kTerminalRead, kTerminalReadReplaced };

struct WaitingCase {
    const char* name;
    Waiting waiting;
};

std::ostream& operator<<(std::ostream& out, const WaitingCase& value) {
    return out << value.name;
}

void Ignore(int) {}

class PortTakenAwayTest : public ConcurrentCallersTest,
                          public ::testing::WithParamInterface<WaitingCase> {
protected:
    void SetUp() override {
        ConcurrentCallersTest::SetUp();
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = Ignore;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(0, sigaction(SIGUSR1, &action, &saved));
        ASSERT_TRUE(first.Ready()) << first.Error();
        ASSERT_TRUE(second.Ready()) << second.Error();
    }
    void TearDown() override {
        ConcurrentCallersTest::TearDown();
        sigaction(SIGUSR1, &saved, nullptr);
    }
    struct sigaction saved;
    zkpos_test::PtyPair first;
    zkpos_test::PtyPair second;
};

TEST_P(PortTakenAwayTest, WaitingCallEndsAtOnceAndNeverMeetsTheNextConnection) {
    const Waiting waiting = GetParam().waiting;
    const bool tcp = waiting == Waiting::kTcpRead || waiting == Waiting::kTcpWrite;
    m_lReadTimeout = 6;
    m_lWriteTimeout = 6;
    if (tcp) {
        ASSERT_EQ(0, Java_com_zelkor_jpos_services_LinPortComm_openDevice(
                         opener.Env(), opener.Self(), opener.MakeString("Ethernet"),
                         opener.MakeString("127.0.0.1"), 9600, JNI_FALSE, 0));
        ASSERT_TRUE(peer.Accept(2000));
    } else {
        ASSERT_EQ(0, Java_com_zelkor_jpos_services_LinPortComm_openDevice(
                         opener.Env(), opener.Self(), opener.MakeString("RS232"),
                         opener.MakeString(first.SlavePath().c_str()), 9600, JNI_FALSE, 0));
    }

    // The call waits under a signal every 50 ms: the device sends nothing, or
    // (for the write) reads nothing of a block far beyond the socket buffers.
    std::atomic<bool> started{false};
    std::atomic<pthread_t> caller{};
    jlong result = 0;
    long ended = 0;
    std::thread call([&] {
        TestJniEnv jni;
        caller.store(pthread_self());
        started.store(true);
        if (waiting == Waiting::kTcpWrite) {
            result = Java_com_zelkor_jpos_services_LinPortComm_writeData(
                jni.Env(), jni.Self(), jni.MakeByteArray(std::string(16 << 20, 'w')), 0);
        } else {
            jbyteArray data =
                Java_com_zelkor_jpos_services_LinPortComm_readData(jni.Env(), jni.Self(), 0);
            result = data == nullptr ? -1 : static_cast<jlong>(jni.BytesOf(data).size());
        }
        ended = MonotonicMs();
    });
    while (!started.load()) {
        usleep(1000);
    }
    zkpos_test::Signaller signaller(caller.load());
    usleep(300 * 1000);

    // The third thread; meanwhile the process opens another connection, which
    // may be given the number the port had.
    long takenAway = 0;
    int other[2] = {-1, -1};
    std::thread closer([&] {
        TestJniEnv jni;
        if (waiting == Waiting::kTerminalReadReplaced) {
            Java_com_zelkor_jpos_services_LinPortComm_openDevice(
                jni.Env(), jni.Self(), jni.MakeString("RS232"),
                jni.MakeString(second.SlavePath().c_str()), 9600, JNI_FALSE, 0);
        } else {
            Java_com_zelkor_jpos_services_LinPortComm_closeDevice(jni.Env(), jni.Self());
        }
        takenAway = MonotonicMs();
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other);
    });
    closer.join();
    ASSERT_GE(other[0], 0);
    const std::string secret = "SECRET-FOR-ANOTHER-CONNECTION";
    ASSERT_EQ(static_cast<ssize_t>(secret.size()),
              send(other[1], secret.data(), secret.size(), MSG_NOSIGNAL));
    second.Send(secret);
    call.join();

    EXPECT_EQ(-1, result) << "the call failed";
    EXPECT_LT(ended - takenAway, 3000) << "the call ended only at its time-out";
    char found[64];
    EXPECT_EQ(static_cast<ssize_t>(secret.size()),
              recv(other[0], found, sizeof found, MSG_DONTWAIT))
        << "the other connection's bytes are still all there";
    EXPECT_EQ(-1, recv(other[1], found, sizeof found, MSG_DONTWAIT))
        << "the other connection's peer got bytes of the old port";
    close(other[0]);
    close(other[1]);
    if (waiting == Waiting::kTerminalReadReplaced) {
        TestJniEnv jni;
        jbyteArray data =
            Java_com_zelkor_jpos_services_LinPortComm_readData(jni.Env(), jni.Self(), 0);
        ASSERT_NE(nullptr, data);
        EXPECT_EQ(secret, jni.BytesOf(data)) << "the new port's bytes went to the new port";
        EXPECT_EQ(3, Java_com_zelkor_jpos_services_LinPortComm_writeData(
                         jni.Env(), jni.Self(), jni.MakeByteArray("new"), 0));
        EXPECT_EQ("new", second.Receive(3, 2000));
        EXPECT_EQ("", first.Receive(1, 200)) << "the old device got the new port's writes";
        EndPort(true);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, PortTakenAwayTest,
    ::testing::Values(WaitingCase{"TcpRead", Waiting::kTcpRead},
                      WaitingCase{"TcpWrite", Waiting::kTcpWrite},
                      WaitingCase{"TerminalRead", Waiting::kTerminalRead},
                      WaitingCase{"TerminalReadReplaced", Waiting::kTerminalReadReplaced}),
    [](const ::testing::TestParamInfo<WaitingCase>& info) { return info.param.name; });

}  // namespace
