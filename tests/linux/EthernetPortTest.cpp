// SPDX-License-Identifier: Apache-2.0
// The Ethernet transport against a device on 127.0.0.1:9100. The suite runs
// in a network namespace of its own (private-run.sh): the port is ours, and
// a name lookup fails at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <csignal>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Descriptors.h"
#include "ExactBytes.h"
#include "LoopbackPeer.h"
#include "TraceFile.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::ExactBytes;
using zkpos_test::LoopbackPeer;
using zkpos_test::MonotonicMs;

struct timeval SocketTimeout(int fd, int option) {
    struct timeval value;
    memset(&value, 0, sizeof(value));
    socklen_t length = sizeof(value);
    getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

bool WaitReceived(int fd, int count, int timeoutMs) {
    long deadline = MonotonicMs() + timeoutMs;
    int waiting = 0;
    while (ioctl(fd, FIONREAD, &waiting) == 0 && waiting < count) {
        if (MonotonicMs() > deadline) {
            return false;
        }
        usleep(1000);
    }
    return waiting >= count;
}

class EthernetPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        trace = dir.File("trace.txt");
        ASSERT_EQ(0, zkpos_test::TraceInto(trace, 5));
        savedReadTimeout = m_lReadTimeout;
        savedWriteTimeout = m_lWriteTimeout;
        m_lReadTimeout = 2;
        m_lWriteTimeout = 2;
        m_iFD = -1;
    }
    void TearDown() override {
        EndPort(true);
        m_lReadTimeout = savedReadTimeout;
        m_lWriteTimeout = savedWriteTimeout;
        zkpos_test::TraceOff();
    }

    static int Open(const char* host) {
        std::string name = host;
        return OpenEthernetPort(&name[0]);
    }
    void ClearTrace() { zkpos_test::WriteFileBytes(trace, ""); }
    std::vector<std::string> Lines() const { return zkpos_test::ReadLines(trace); }
    static std::string Line(const std::string& function, const std::string& text) {
        return "ZkPosSo::" + function + " --> " + text;
    }
    // Opens a connection to a device that accepts it.
    void Connect(LoopbackPeer& peer) {
        ASSERT_TRUE(peer.Ready()) << peer.Error();
        ASSERT_EQ(0, Open("127.0.0.1"));
        ASSERT_TRUE(peer.Accept(2000));
        ClearTrace();
    }
    // The lines of a failed open: its name, Begin, perhaps the wait, then
    // the error line and nothing after it.
    void ExpectFailedOpen(const std::string& host, const std::vector<std::string>& errors) {
        std::vector<std::string> lines = Lines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(Line("OpenEthernetPort", "Port Name " + host), lines[0]);
        EXPECT_EQ(Line("OpenEthernetPort", "Begin"), lines[1]);
        bool known = false;
        for (const std::string& error : errors) {
            known = known || lines.back() == Line("OpenEthernetPort", error);
        }
        EXPECT_TRUE(known) << "last line: " << lines.back();
        for (const std::string& line : lines) {
            EXPECT_NE(Line("OpenEthernetPort", "End"), line);
        }
        EXPECT_LE(lines.size(), 4u);
        if (lines.size() == 4) {
            EXPECT_EQ(Line("OpenEthernetPort", "EINPROGRESS in connect() - selecting"), lines[2]);
        }
    }

    zkpos_test::TemporaryDirectory dir;
    std::string trace;
    long savedReadTimeout = 5;
    long savedWriteTimeout = 5;
};

TEST_F(EthernetPortTest, ConnectsToPort9100AndTracesTheNameBeforeBegin) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_EQ(0, Open("127.0.0.1"));
    EXPECT_TRUE(peer.Accept(2000));
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Line("OpenEthernetPort", "Port Name 127.0.0.1"), lines[0]);
    EXPECT_EQ(Line("OpenEthernetPort", "Begin"), lines[1]);
    EXPECT_EQ(Line("OpenEthernetPort", "End"), lines.back());
    EXPECT_LE(lines.size(), 4u);
    if (lines.size() == 4) {
        EXPECT_EQ(Line("OpenEthernetPort", "EINPROGRESS in connect() - selecting"), lines[2]);
    }
}

TEST_F(EthernetPortTest, HostNameIsResolved) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_EQ(0, Open("localhost"));
    EXPECT_TRUE(peer.Accept(2000));
}

TEST_F(EthernetPortTest, OpenLeavesABlockingSocketWithTheStoredTimeOuts) {
    LoopbackPeer peer;
    m_lWriteTimeout = 7;
    m_lReadTimeout = 3;
    Connect(peer);
    int flags = fcntl(m_iFD, F_GETFL);
    ASSERT_NE(-1, flags);
    EXPECT_EQ(0, flags & O_NONBLOCK);
    struct timeval send = SocketTimeout(m_iFD, SO_SNDTIMEO);
    struct timeval receive = SocketTimeout(m_iFD, SO_RCVTIMEO);
    EXPECT_EQ(7, send.tv_sec);
    EXPECT_EQ(0, send.tv_usec);
    EXPECT_EQ(3, receive.tv_sec);
    EXPECT_EQ(0, receive.tv_usec);
}

TEST_F(EthernetPortTest, NewTimeOutsReachTheOpenSocketAtOnce) {
    LoopbackPeer peer;
    Connect(peer);
    m_lWriteTimeout = 9;
    m_lReadTimeout = 1;
    SetEthernetTimeout();
    EXPECT_EQ(9, SocketTimeout(m_iFD, SO_SNDTIMEO).tv_sec);
    EXPECT_EQ(1, SocketTimeout(m_iFD, SO_RCVTIMEO).tv_sec);
    EXPECT_EQ(std::vector<std::string>{}, Lines()) << "SetEthernetTimeout writes no line";

    char block[ZKPOS_READ_BLOCK_SIZE] = {0};
    long start = MonotonicMs();
    EXPECT_EQ(-1, ReadFromEthernetPort(block));
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
}

TEST_F(EthernetPortTest, WriteSendsEveryByteAndShowsThem) {
    LoopbackPeer peer;
    Connect(peer);
    ExactBytes data("hello");
    EXPECT_EQ(5, WriteToEthernetPort(data.Data(), data.Length()));
    EXPECT_EQ("hello", peer.Receive(5, 2000));
    EXPECT_EQ(Lines(), (std::vector<std::string>{Line("WriteToEthernetPort", "Begin"),
                                                 Line("WriteToEthernetPort", "strToSend (hello)"),
                                                 Line("WriteToEthernetPort", "End")}));
}

TEST_F(EthernetPortTest, WriteShowsUnterminatedDataWithoutReadingPastIt) {
    LoopbackPeer peer;
    Connect(peer);
    ExactBytes data("0123456789");
    EXPECT_EQ(10, WriteToEthernetPort(data.Data(), data.Length()));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(Line("WriteToEthernetPort", "strToSend (0123456789)"), lines[1]);

    ClearTrace();
    ExactBytes longData(std::string(400, 'w'));
    EXPECT_EQ(400, WriteToEthernetPort(longData.Data(), longData.Length()));
    EXPECT_EQ("0123456789" + std::string(400, 'w'), peer.Receive(410, 2000));
    lines = Lines();
    ASSERT_EQ(3u, lines.size());
    std::string text = lines[1].substr(Line("WriteToEthernetPort", "").size());
    EXPECT_LE(text.size(), ZKPOS_SO_TRACE_TEXT_SIZE - 1u);
    ASSERT_EQ("strToSend (www", text.substr(0, 14));
    EXPECT_EQ(std::string::npos, text.find_first_not_of("w)", 11)) << text;
}

TEST_F(EthernetPortTest, WriteToADeviceThatReadsNothingWaitsAtMostTheWriteTimeOut) {
    LoopbackPeer peer;
    m_lWriteTimeout = 1;
    Connect(peer);
    // Far more than the socket buffers on both sides hold.
    ExactBytes data(std::string(64 << 20, 's'));
    long start = MonotonicMs();
    int result = WriteToEthernetPort(data.Data(), data.Length());
    long elapsed = MonotonicMs() - start;
    EXPECT_LT(result, data.Length());
    EXPECT_GE(result, -1);
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 4000);
}

TEST_F(EthernetPortTest, ReadReturnsWhatArrivedAndShowsItWithoutACount) {
    LoopbackPeer peer;
    Connect(peer);
    ASSERT_TRUE(peer.Send("abc"));
    ASSERT_TRUE(WaitReceived(m_iFD, 3, 2000));
    char block[ZKPOS_READ_BLOCK_SIZE] = {0};
    ASSERT_EQ(3, ReadFromEthernetPort(block));
    EXPECT_EQ("abc", std::string(block, 3));
    EXPECT_EQ(Lines(), (std::vector<std::string>{Line("ReadFromEthernetPort", "Begin"),
                                                 Line("ReadFromEthernetPort", "strRead (abc)"),
                                                 Line("ReadFromEthernetPort", "End")}));
}

TEST_F(EthernetPortTest, ReadTakesAtMost1024BytesPerCall) {
    LoopbackPeer peer;
    Connect(peer);
    std::string sent;
    for (int i = 0; i < 1500; ++i) {
        sent += static_cast<char>('a' + i % 26);
    }
    ASSERT_TRUE(peer.Send(sent));
    ASSERT_TRUE(WaitReceived(m_iFD, 1500, 2000));
    // Exactly 1024 bytes on the heap, all of them data: the trace line must
    // find its end without a terminator.
    std::vector<char> first(ZKPOS_READ_BLOCK_SIZE, '\0');
    ASSERT_EQ(1024, ReadFromEthernetPort(first.data()));
    EXPECT_EQ(sent.substr(0, 1024), std::string(first.data(), 1024));
    std::vector<char> rest(ZKPOS_READ_BLOCK_SIZE, '\0');
    ASSERT_EQ(476, ReadFromEthernetPort(rest.data()));
    EXPECT_EQ(sent.substr(1024), std::string(rest.data(), 476));

    std::vector<std::string> lines = Lines();
    ASSERT_EQ(6u, lines.size());
    std::string text = lines[1].substr(Line("ReadFromEthernetPort", "").size());
    EXPECT_LE(text.size(), ZKPOS_SO_TRACE_TEXT_SIZE - 1u);
    ASSERT_EQ("strRead (abc", text.substr(0, 12));
}

TEST_F(EthernetPortTest, ReadTimeOutReturnsMinusOne) {
    LoopbackPeer peer;
    m_lReadTimeout = 1;
    Connect(peer);
    char block[ZKPOS_READ_BLOCK_SIZE] = {0};
    long start = MonotonicMs();
    EXPECT_EQ(-1, ReadFromEthernetPort(block));
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(Lines(), (std::vector<std::string>{Line("ReadFromEthernetPort", "Begin"),
                                                 Line("ReadFromEthernetPort", "strRead ()"),
                                                 Line("ReadFromEthernetPort", "End")}));
}

TEST_F(EthernetPortTest, ReadAfterTheDeviceClosedReturnsZeroAtOnce) {
    LoopbackPeer peer;
    m_lReadTimeout = 3;
    Connect(peer);
    peer.CloseConnection();
    for (int i = 0; i < 2; ++i) {
        char block[ZKPOS_READ_BLOCK_SIZE] = {0};
        long start = MonotonicMs();
        EXPECT_EQ(0, ReadFromEthernetPort(block));
        EXPECT_LT(MonotonicMs() - start, 1000);
    }
}

TEST_F(EthernetPortTest, RefusedConnectionFailsWithItsErrorLine) {
    size_t before = zkpos_test::CountOpenDescriptors();
    EXPECT_EQ(-1, Open("127.0.0.1"));
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(before, zkpos_test::CountOpenDescriptors()) << "the socket is closed";
    ExpectFailedOpen("127.0.0.1", {"Error in connection()", "Error to connect socket"});
}

TEST_F(EthernetPortTest, DeviceThatNeverAnswersTimesOutAfterTheWriteTimeOut) {
    LoopbackPeer peer(0);
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_TRUE(peer.FillAcceptQueue());
    m_lWriteTimeout = 1;
    size_t before = zkpos_test::CountOpenDescriptors();
    long start = MonotonicMs();
    EXPECT_EQ(-1, Open("127.0.0.1"));
    long elapsed = MonotonicMs() - start;
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(before, zkpos_test::CountOpenDescriptors()) << "the socket is closed";
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
    ExpectFailedOpen("127.0.0.1", {"Timeout or error()"});
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(4u, lines.size());
}

TEST_F(EthernetPortTest, WriteTimeOutOfZeroMakesTheConnectWaitAPoll) {
    LoopbackPeer peer(0);
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_TRUE(peer.FillAcceptQueue());
    m_lWriteTimeout = 0;
    long start = MonotonicMs();
    EXPECT_EQ(-1, Open("127.0.0.1"));
    EXPECT_LT(MonotonicMs() - start, 500);
    ExpectFailedOpen("127.0.0.1", {"Timeout or error()"});
}

TEST_F(EthernetPortTest, NameThatDoesNotResolveFailsWithWrongHostname) {
    size_t before = zkpos_test::CountOpenDescriptors();
    long start = MonotonicMs();
    EXPECT_EQ(-1, Open("zkpos-no-such-device.invalid"));
    EXPECT_LT(MonotonicMs() - start, 10000);
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(before, zkpos_test::CountOpenDescriptors()) << "the socket is closed";
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           Line("OpenEthernetPort", "Port Name zkpos-no-such-device.invalid"),
                           Line("OpenEthernetPort", "Begin"),
                           Line("OpenEthernetPort", "Wrong hostname"),
                       }));
}

// A name server that takes every question and never answers, with a search
// list that multiplies the resolver's own waits: the look-up is bounded by
// the write time-out, as the connect is, and fails as an unknown name does.
TEST_F(EthernetPortTest, SilentNameServerCostsNoMoreThanTheWriteTimeOut) {
    const char* privateRun = getenv("ZKPOS_PRIVATE_RUN");
    ASSERT_TRUE(privateRun != nullptr && std::string(privateRun) == "1")
        << "this case mounts over /etc/resolv.conf: run it under tests/support/private-run.sh";
    std::string resolver = dir.File("resolv.conf");
    ASSERT_TRUE(zkpos_test::WriteFileBytes(
        resolver,
        "nameserver 127.0.0.1\nsearch zkpos-a.test zkpos-b.test\noptions timeout:10 attempts:1\n"));
    ASSERT_EQ(0, mount(resolver.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr))
        << strerror(errno);
    int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(silent, reinterpret_cast<struct sockaddr*>(&address), sizeof address));

    m_lWriteTimeout = 1;
    long start = MonotonicMs();
    EXPECT_EQ(-1, Open("printer"));
    long elapsed = MonotonicMs() - start;
    umount2("/etc/resolv.conf", MNT_DETACH);
    close(silent);
    EXPECT_LT(elapsed, 4000) << "the look-up waited for the name server";
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           Line("OpenEthernetPort", "Port Name printer"),
                           Line("OpenEthernetPort", "Begin"),
                           Line("OpenEthernetPort", "Wrong hostname"),
                       }));
}

TEST_F(EthernetPortTest, LongHostNameIsCutInItsTraceLine) {
    std::string host(300, 'h');
    EXPECT_EQ(-1, Open(host.c_str()));
    std::vector<std::string> lines = Lines();
    ASSERT_FALSE(lines.empty());
    std::string text = lines[0].substr(Line("OpenEthernetPort", "").size());
    EXPECT_EQ(ZKPOS_SO_TRACE_TEXT_SIZE - 1u, text.size());
    EXPECT_EQ("Port Name " + std::string(text.size() - 10, 'h'), text);
}

TEST_F(EthernetPortTest, WriteWithNoPortOpenFails) {
    m_iFD = -1;
    ExactBytes data("lost");
    EXPECT_EQ(-1, WriteToEthernetPort(data.Data(), data.Length()));
    char block[ZKPOS_READ_BLOCK_SIZE] = {0};
    EXPECT_EQ(-1, ReadFromEthernetPort(block));
}

TEST_F(EthernetPortTest, SocketAboveFdSetSizeConnects) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    zkpos_test::DescriptorFiller filler(FD_SETSIZE + 76);
    ASSERT_TRUE(filler.Ready()) << filler.Error();
    ASSERT_EQ(0, Open("127.0.0.1"));
    EXPECT_GE(m_iFD, FD_SETSIZE);
    ASSERT_TRUE(peer.Accept(2000));
    ExactBytes data("far");
    EXPECT_EQ(3, WriteToEthernetPort(data.Data(), data.Length()));
    EXPECT_EQ("far", peer.Receive(3, 2000));
}

TEST_F(EthernetPortTest, SocketAboveFdSetSizeStillTimesOutOnASilentDevice) {
    LoopbackPeer peer(0);
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_TRUE(peer.FillAcceptQueue());
    zkpos_test::DescriptorFiller filler(FD_SETSIZE + 76);
    ASSERT_TRUE(filler.Ready()) << filler.Error();
    m_lWriteTimeout = 1;
    long start = MonotonicMs();
    EXPECT_EQ(-1, Open("127.0.0.1"));
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
    ExpectFailedOpen("127.0.0.1", {"Timeout or error()"});
}

using EthernetPortDeathTest = EthernetPortTest;

// Writes to a device that has gone away until the send fails. Exits 0 when
// it did fail with -1; a SIGPIPE would end the process instead.
void WriteToAVanishedDevice() {
    signal(SIGPIPE, SIG_DFL);
    LoopbackPeer peer;
    if (!peer.Ready() || OpenEthernetPort(const_cast<char*>("127.0.0.1")) != 0 ||
        !peer.Accept(2000)) {
        exit(2);
    }
    peer.CloseConnection();
    unsigned char data[64];
    memset(data, 'x', sizeof(data));
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (WriteToEthernetPort(data, sizeof(data)) == -1) {
            exit(0);
        }
        usleep(20 * 1000);
    }
    exit(3);
}

TEST_F(EthernetPortDeathTest, SendToADeviceThatClosedReturnsMinusOneWithoutSigpipe) {
    EXPECT_EXIT(WriteToAVanishedDevice(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
