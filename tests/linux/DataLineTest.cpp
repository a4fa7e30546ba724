// SPDX-License-Identifier: Apache-2.0
// The trace lines that show device data keep their ends: when the data does
// not fit the trace buffer, the data is cut and the closing ")" and the
// count stay. Traced at verbosity 2, where these lines are all there is.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include <string>
#include <vector>

#include "ExactBytes.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "TraceFile.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::ExactBytes;
using zkpos_test::LoopbackPeer;

class DataLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        trace = dir.File("trace.txt");
        ASSERT_EQ(0, zkpos_test::TraceInto(trace, 2));
        m_iFD = -1;
        m_lReadTimeout = 2;
        m_lWriteTimeout = 2;
    }
    void TearDown() override {
        EndPort(true);
        zkpos_test::TraceOff();
    }

    // The one line of the trace file, without its module and function.
    std::string OnlyText(const std::string& function) const {
        std::vector<std::string> lines = zkpos_test::ReadLines(trace);
        std::string head = "ZkPosSo::" + function + " --> ";
        if (lines.size() != 1 || lines[0].compare(0, head.size(), head) != 0) {
            ADD_FAILURE() << "expected one line of " << function << ", got " << lines.size()
                          << (lines.empty() ? std::string() : ": " + lines[0]);
            return "";
        }
        return lines[0].substr(head.size());
    }
    // A text that filled the trace buffer: head, as much data as fits, tail.
    static std::string Filled(const std::string& head, char data, const std::string& tail) {
        size_t room = ZKPOS_SO_TRACE_TEXT_SIZE - 1 - head.size() - tail.size();
        return head + std::string(room, data) + tail;
    }

    zkpos_test::TemporaryDirectory dir;
    std::string trace;
};

TEST_F(DataLineTest, FullSerialReadShowsItsCount) {
    zkpos_test::PtyPair pty;
    ASSERT_TRUE(pty.Ready()) << pty.Error();
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenSerialPort(&path[0], 9600));
    ASSERT_TRUE(pty.Send(std::string(ZKPOS_READ_BLOCK_SIZE, 'r')));
    ASSERT_TRUE(pty.WaitQueued(ZKPOS_READ_BLOCK_SIZE, 3000));
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');
    ASSERT_EQ(ZKPOS_READ_BLOCK_SIZE, ReadFromSerialPort(block.data()));
    EXPECT_EQ(Filled("strRead (", 'r', ") 1024 "), OnlyText("ReadFromSerialPort"));
}

TEST_F(DataLineTest, LongSerialWriteShowsItsClosingBracket) {
    zkpos_test::PtyPair pty;
    ASSERT_TRUE(pty.Ready()) << pty.Error();
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenSerialPort(&path[0], 9600));
    ExactBytes data(std::string(300, 'w'));
    ASSERT_EQ(300, WriteToSerialPort(data.Data(), data.Length()));
    EXPECT_EQ(Filled("strToSend (", 'w', ")"), OnlyText("WriteToSerialPort"));
}

TEST_F(DataLineTest, FullEthernetReadShowsItsClosingBracket) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    std::string host = "127.0.0.1";
    ASSERT_EQ(0, OpenEthernetPort(&host[0]));
    ASSERT_TRUE(peer.Accept(2000));
    ASSERT_TRUE(peer.Send(std::string(ZKPOS_READ_BLOCK_SIZE, 'e')));
    usleep(100 * 1000);  // all of it in the socket's queue
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');
    ASSERT_EQ(ZKPOS_READ_BLOCK_SIZE, ReadFromEthernetPort(block.data()));
    EXPECT_EQ(Filled("strRead (", 'e', ")"), OnlyText("ReadFromEthernetPort"));
}

TEST_F(DataLineTest, LongEthernetWriteShowsItsClosingBracket) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    std::string host = "127.0.0.1";
    ASSERT_EQ(0, OpenEthernetPort(&host[0]));
    ASSERT_TRUE(peer.Accept(2000));
    ExactBytes data(std::string(300, 'n'));
    ASSERT_EQ(300, WriteToEthernetPort(data.Data(), data.Length()));
    EXPECT_EQ(std::string(300, 'n'), peer.Receive(300, 2000));
    EXPECT_EQ(Filled("strToSend (", 'n', ")"), OnlyText("WriteToEthernetPort"));
}

TEST_F(DataLineTest, DataThatFitsIsShownWhole) {
    zkpos_test::PtyPair pty;
    ASSERT_TRUE(pty.Ready()) << pty.Error();
    std::string path = pty.SlavePath();
    ASSERT_EQ(0, OpenSerialPort(&path[0], 9600));
    // The longest data that fits beside its count is shown without a cut.
    const std::string shown(ZKPOS_SO_TRACE_TEXT_SIZE - 1 - strlen("strRead () 112 "), 'f');
    ASSERT_EQ(112u, shown.size());
    ASSERT_TRUE(pty.Send(shown));
    ASSERT_TRUE(pty.WaitQueued(shown.size(), 3000));
    std::vector<char> block(ZKPOS_READ_BLOCK_SIZE, '\0');
    ASSERT_EQ(112, ReadFromSerialPort(block.data()));
    EXPECT_EQ("strRead (" + shown + ") 112 ", OnlyText("ReadFromSerialPort"));
}

}  // namespace
