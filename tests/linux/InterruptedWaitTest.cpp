// SPDX-License-Identifier: Apache-2.0
// Waits under signals: the calling thread is signalled every 50 ms, as a JVM's
// profiler or monitoring agent may do, with a handler installed with and
// without SA_RESTART. Every wait still lasts its whole time-out, and data that
// comes during it is still returned.
#include <gtest/gtest.h>

#include <pthread.h>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "ExactBytes.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "Signaller.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::ExactBytes;
using zkpos_test::LoopbackPeer;
using zkpos_test::MonotonicMs;
using zkpos_test::Signaller;

std::atomic<int> signalsHandled{0};

void CountSignal(int) {
    signalsHandled.fetch_add(1);
}

// The parameter is the handler's sa_flags: SA_RESTART or 0.
class InterruptedWaitTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = CountSignal;
        action.sa_flags = GetParam();
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(0, sigaction(SIGUSR1, &action, &saved));
        signalsHandled.store(0);
        m_iFD = -1;
        savedReadTimeout = m_lReadTimeout;
        savedWriteTimeout = m_lWriteTimeout;
        m_lReadTimeout = 1;
        m_lWriteTimeout = 1;
    }
    void TearDown() override {
        EndPort(true);
        m_lReadTimeout = savedReadTimeout;
        m_lWriteTimeout = savedWriteTimeout;
        sigaction(SIGUSR1, &saved, nullptr);
    }

    // The wait lasted the whole second and was really interrupted many times.
    static void ExpectWholeSecond(long elapsed) {
        EXPECT_GE(elapsed, 950);
        EXPECT_LT(elapsed, 3000);
        EXPECT_GE(signalsHandled.load(), 10);
    }
    static void ExpectDataAt600Ms(long elapsed) {
        EXPECT_GE(elapsed, 550);
        EXPECT_LT(elapsed, 2500);
        EXPECT_GE(signalsHandled.load(), 5);
    }

    void ConnectTo(LoopbackPeer& peer) {
        ASSERT_TRUE(peer.Ready()) << peer.Error();
        std::string host = "127.0.0.1";
        ASSERT_EQ(0, OpenEthernetPort(&host[0]));
        ASSERT_TRUE(peer.Accept(2000));
    }

    struct sigaction saved;
    long savedReadTimeout = 5;
    long savedWriteTimeout = 5;
};

std::string FlagsName(const ::testing::TestParamInfo<int>& info) {
    return info.param == SA_RESTART ? "WithSaRestart" : "WithoutSaRestart";
}

INSTANTIATE_TEST_SUITE_P(Handlers, InterruptedWaitTest, ::testing::Values(SA_RESTART, 0),
                         FlagsName);

TEST_P(InterruptedWaitTest, SerialReadWaitsTheWholeTimeOut) {
    zkpos_test::PtyPair pty;
    ASSERT_TRUE(pty.Ready()) << pty.Error();
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenSerialPort(&path[0], 9600));
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');

    Signaller signaller(pthread_self());
    long start = MonotonicMs();
    EXPECT_EQ(0, ReadFromSerialPort(block.data()));
    ExpectWholeSecond(MonotonicMs() - start);
}

TEST_P(InterruptedWaitTest, SerialReadReturnsDataThatComesDuringTheWait) {
    zkpos_test::PtyPair pty;
    ASSERT_TRUE(pty.Ready()) << pty.Error();
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenSerialPort(&path[0], 9600));
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');
    m_lReadTimeout = 3;

    Signaller signaller(pthread_self());
    std::thread device([&pty] {
        usleep(600 * 1000);
        pty.Send("late");
    });
    long start = MonotonicMs();
    int count = ReadFromSerialPort(block.data());
    long elapsed = MonotonicMs() - start;
    device.join();
    ASSERT_EQ(4, count);
    EXPECT_EQ("late", std::string(block.data(), 4));
    ExpectDataAt600Ms(elapsed);
}

TEST_P(InterruptedWaitTest, SerialPauseBeforeALongReplyIsNotCutShort) {
    zkpos_test::PtyPair pty;
    ASSERT_TRUE(pty.Ready()) << pty.Error();
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenSerialPort(&path[0], 9600));
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');
    ASSERT_TRUE(pty.Send(std::string(20, 'p')));
    ASSERT_TRUE(pty.WaitQueued(20, 3000));

    // Signals every 10 ms, so that the 80 ms pause is surely hit by some.
    std::atomic<bool> stop{false};
    pthread_t reader = pthread_self();
    std::thread signaller([&stop, reader] {
        while (!stop.load()) {
            pthread_kill(reader, SIGUSR1);
            usleep(10 * 1000);
        }
    });
    long start = MonotonicMs();
    int count = ReadFromSerialPort(block.data());
    long elapsed = MonotonicMs() - start;
    stop.store(true);
    signaller.join();
    EXPECT_EQ(20, count);
    EXPECT_GE(elapsed, 79);
    EXPECT_GE(signalsHandled.load(), 2);
}

TEST_P(InterruptedWaitTest, EthernetReadWaitsTheWholeTimeOut) {
    LoopbackPeer peer;
    ConnectTo(peer);
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');

    Signaller signaller(pthread_self());
    long start = MonotonicMs();
    EXPECT_EQ(-1, ReadFromEthernetPort(block.data()));
    ExpectWholeSecond(MonotonicMs() - start);
}

TEST_P(InterruptedWaitTest, EthernetReadReturnsDataThatComesDuringTheWait) {
    LoopbackPeer peer;
    m_lReadTimeout = 3;
    ConnectTo(peer);
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');

    Signaller signaller(pthread_self());
    std::thread device([&peer] {
        usleep(600 * 1000);
        peer.Send("late");
    });
    long start = MonotonicMs();
    int count = ReadFromEthernetPort(block.data());
    long elapsed = MonotonicMs() - start;
    device.join();
    ASSERT_EQ(4, count);
    EXPECT_EQ("late", std::string(block.data(), 4));
    ExpectDataAt600Ms(elapsed);
}

TEST_P(InterruptedWaitTest, ConnectToADeviceThatNeverAnswersWaitsTheWholeWriteTimeOut) {
    LoopbackPeer peer(0);
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    ASSERT_TRUE(peer.FillAcceptQueue());
    std::string host = "127.0.0.1";

    Signaller signaller(pthread_self());
    long start = MonotonicMs();
    EXPECT_EQ(-1, OpenEthernetPort(&host[0]));
    ExpectWholeSecond(MonotonicMs() - start);
    EXPECT_EQ(-1, m_iFD);
}

TEST_P(InterruptedWaitTest, EthernetWriteSendsEveryByteOnceTheDeviceReads) {
    LoopbackPeer peer;
    m_lWriteTimeout = 5;
    ConnectTo(peer);
    // Far more than the socket buffers on both sides hold: the send blocks
    // until the device starts to read at 600 ms, and the signals come while
    // it waits.
    const size_t size = 16u << 20;
    ExactBytes data(std::string(size, 's'));

    Signaller signaller(pthread_self());
    std::string received;
    std::thread device([&peer, &received, size] {
        usleep(600 * 1000);
        received = peer.Receive(size, 10000);
    });
    long start = MonotonicMs();
    int sent = WriteToEthernetPort(data.Data(), data.Length());
    long elapsed = MonotonicMs() - start;
    device.join();
    EXPECT_EQ(static_cast<int>(size), sent);
    EXPECT_EQ(size, received.size());
    ExpectDataAt600Ms(elapsed);
}

}  // namespace
