// SPDX-License-Identifier: Apache-2.0
// The serial transport over a pseudo-terminal pair: the library opens the
// slave as its port, the test plays the device on the master.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "ExactBytes.h"
#include "PtyPair.h"
#include "TraceFile.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::ExactBytes;
using zkpos_test::MonotonicMs;
using zkpos_test::ReadLines;

// The read block as readData hands it over: 1024 bytes on the heap, cleared.
class ReadBlock {
public:
    ReadBlock() : data_(ZKPOS_READ_BLOCK_SIZE, '\0') {}
    char* Data() { return data_.data(); }
    std::string First(int count) const { return std::string(data_.data(), count); }

private:
    std::vector<char> data_;
};

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ready()) << pty.Error();
        ASSERT_FALSE(dir.Path().empty());
        trace = dir.File("trace.txt");
        ASSERT_EQ(0, zkpos_test::TraceInto(trace, 5));
        savedReadTimeout = m_lReadTimeout;
        m_lReadTimeout = 2;
        m_iFD = -1;
    }
    void TearDown() override {
        EndPort(true);
        m_lReadTimeout = savedReadTimeout;
        zkpos_test::TraceOff();
    }

    int Open(int baudRate = 9600) {
        std::string path = pty.SlavePath();
        return OpenSerialPort(&path[0], baudRate);
    }
    void ClearTrace() { zkpos_test::WriteFileBytes(trace, ""); }
    std::vector<std::string> Lines() const { return ReadLines(trace); }
    static std::string Line(const std::string& function, const std::string& text) {
        return "ZkPosSo::" + function + " --> " + text;
    }

    zkpos_test::PtyPair pty;
    zkpos_test::TemporaryDirectory dir;
    std::string trace;
    long savedReadTimeout = 5;
};

struct ConvertCase {
    const char* name;
    const char* path;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const ConvertCase& value) {
    return out << "\"" << value.name << "\"";
}

class ConvertPortTest : public SerialPortTest, public ::testing::WithParamInterface<ConvertCase> {};

TEST_P(ConvertPortTest, MapsComNamesAndPassesEverythingElseUnchanged) {
    const ConvertCase& convert = GetParam();
    std::string name = convert.name;
    const char* path = ConvertPort(&name[0]);
    ASSERT_NE(nullptr, path);
    EXPECT_STREQ(convert.path, path) << convert.name;
    EXPECT_EQ(convert.name, name) << "the caller's text is not written to";
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{Line("ConvertPort", "Begin"),
                                        Line("ConvertPort", std::string("strPort ") + convert.path),
                                        Line("ConvertPort", "End")}));
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConvertPortTest,
    ::testing::Values(ConvertCase{"COM1", "/dev/ttyS0"}, ConvertCase{"COM2", "/dev/ttyS1"},
                      ConvertCase{"COM3", "/dev/ttyS2"}, ConvertCase{"COM4", "/dev/ttyS3"},
                      ConvertCase{"COM10", "/dev/ttyS0"}, ConvertCase{"COM12", "/dev/ttyS0"},
                      ConvertCase{"xCOM1", "/dev/ttyS0"}, ConvertCase{"COM21", "/dev/ttyS1"},
                      ConvertCase{"COM4COM1", "/dev/ttyS0"}, ConvertCase{"COM5", "COM5"},
                      ConvertCase{"COM9", "COM9"}, ConvertCase{"COM", "COM"},
                      ConvertCase{"com1", "com1"}, ConvertCase{"/dev/ttyUSB0", "/dev/ttyUSB0"},
                      ConvertCase{"/dev/serial/by-id/usb-FTDI_COM3_Adapter-if00",
                                  "/dev/serial/by-id/usb-FTDI_COM3_Adapter-if00"},
                      ConvertCase{"/COM1", "/COM1"}, ConvertCase{"", ""}));

TEST_F(SerialPortTest, OpenTracesTheNameAndTheMappedPath) {
    ASSERT_EQ(0, Open());
    std::string path = pty.SlavePath();
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           Line("OpenSerialPort", "Begin"),
                           Line("OpenSerialPort", "Port Name " + path),
                           Line("ConvertPort", "Begin"),
                           Line("ConvertPort", "strPort " + path),
                           Line("ConvertPort", "End"),
                           Line("OpenSerialPort", "End"),
                       }));
}

TEST_F(SerialPortTest, OpenOfAMissingDeviceFailsWithItsErrorLineAndNoEnd) {
    size_t before = zkpos_test::CountOpenDescriptors();
    char name[] = "/dev/zkpos-no-such-tty";
    EXPECT_EQ(-1, OpenSerialPort(name, 9600));
    EXPECT_EQ(-1, m_iFD);
    EXPECT_EQ(before, zkpos_test::CountOpenDescriptors());
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           Line("OpenSerialPort", "Begin"),
                           Line("OpenSerialPort", "Port Name /dev/zkpos-no-such-tty"),
                           Line("ConvertPort", "Begin"),
                           Line("ConvertPort", "strPort /dev/zkpos-no-such-tty"),
                           Line("ConvertPort", "End"),
                           Line("OpenSerialPort", "Open Port error"),
                       }));
}

TEST_F(SerialPortTest, LongPortNameIsCutInItsTraceLines) {
    std::string name = "/dev/" + std::string(300, 'n');
    EXPECT_EQ(-1, OpenSerialPort(&name[0], 9600));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(6u, lines.size());
    std::string portName = lines[1].substr(Line("OpenSerialPort", "").size());
    EXPECT_EQ(ZKPOS_SO_TRACE_TEXT_SIZE - 1u, portName.size());
    EXPECT_EQ(("Port Name " + name).substr(0, portName.size()), portName);
    std::string path = lines[3].substr(Line("ConvertPort", "").size());
    EXPECT_EQ(ZKPOS_SO_TRACE_TEXT_SIZE - 1u, path.size());
    EXPECT_EQ(("strPort " + name).substr(0, path.size()), path);
    EXPECT_EQ(Line("OpenSerialPort", "Open Port error"), lines[5]);
}

TEST_F(SerialPortTest, OpenLeavesTheDescriptorReadWriteAndNonBlocking) {
    ASSERT_EQ(0, Open());
    ASSERT_GE(m_iFD, 0);
    int flags = fcntl(m_iFD, F_GETFL);
    ASSERT_NE(-1, flags);
    EXPECT_EQ(O_RDWR, flags & O_ACCMODE);
    EXPECT_NE(0, flags & O_NONBLOCK);
    ASSERT_LT(m_iFD, FD_SETSIZE);
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        EXPECT_EQ(fd == m_iFD, FD_ISSET(fd, &m_Input) != 0) << "descriptor " << fd;
    }
}

struct SpeedCase {
    int baudRate;
    speed_t code;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const SpeedCase& value) {
    return out << value.baudRate << " baud";
}

class LineSettingsTest : public SerialPortTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(LineSettingsTest, OpenSetsSevenOddOneWithRtsCtsAtTheSpeed) {
    const SpeedCase& speed = GetParam();
    // Whatever an earlier open left in the settings, they are built from zero.
    memset(&m_TIO, 0xff, sizeof(m_TIO));
    ASSERT_EQ(0, Open(speed.baudRate));

    // What the line runs with, read back from the terminal.
    struct termios applied;
    ASSERT_EQ(0, tcgetattr(m_iFD, &applied));
    EXPECT_EQ(speed.code, cfgetospeed(&applied)) << speed.baudRate;
    EXPECT_NE(0u, applied.c_cflag & CRTSCTS);
    EXPECT_NE(0u, applied.c_cflag & CLOCAL);
    EXPECT_NE(0u, applied.c_cflag & CREAD);
    EXPECT_EQ(0u, applied.c_cflag & CSTOPB);
    EXPECT_EQ(0u, applied.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
    EXPECT_EQ(0u, applied.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK |
                                     PARMRK | BRKINT | IGNBRK));
    EXPECT_EQ(0u, applied.c_oflag & OPOST);
    EXPECT_EQ(0, applied.c_cc[VMIN]);
    EXPECT_EQ(0, applied.c_cc[VTIME]);

    // A pseudo-terminal forces 8 bits without parity whatever it is given, so
    // the framing is checked in the settings the library applied.
    EXPECT_EQ(static_cast<tcflag_t>(CS7), m_TIO.c_cflag & CSIZE);
    EXPECT_EQ(static_cast<tcflag_t>(PARENB | PARODD), m_TIO.c_cflag & (PARENB | PARODD));
    EXPECT_EQ(0u, m_TIO.c_cflag & CSTOPB);
}

INSTANTIATE_TEST_SUITE_P(BaudRates, LineSettingsTest,
                         ::testing::Values(SpeedCase{9600, B9600}, SpeedCase{19200, B19200},
                                           SpeedCase{38400, B38400}, SpeedCase{57600, B57600},
                                           SpeedCase{115200, B19200}, SpeedCase{4800, B19200},
                                           SpeedCase{0, B19200}, SpeedCase{-9600, B19200}));

TEST_F(SerialPortTest, WriteSendsEveryByteInOneCallAndShowsThem) {
    ASSERT_EQ(0, Open());
    ClearTrace();
    ExactBytes data("hello");
    EXPECT_EQ(5, WriteToSerialPort(data.Data(), data.Length()));
    EXPECT_EQ("hello", pty.Receive(5, 2000));
    EXPECT_EQ(Lines(), (std::vector<std::string>{Line("WriteToSerialPort", "Begin"),
                                                 Line("WriteToSerialPort", "strToSend (hello)"),
                                                 Line("WriteToSerialPort", "End")}));
}

TEST_F(SerialPortTest, WriteOfAnEmptyBlockReturnsZero) {
    ASSERT_EQ(0, Open());
    ExactBytes data("");
    EXPECT_EQ(0, WriteToSerialPort(data.Data(), 0));
    EXPECT_EQ("", pty.Receive(1, 100));
}

TEST_F(SerialPortTest, WriteShowsDataOnlyUpToItsFirstZeroByteButSendsAll) {
    ASSERT_EQ(0, Open());
    ClearTrace();
    ExactBytes data(std::string("ab\0cd", 5));
    EXPECT_EQ(5, WriteToSerialPort(data.Data(), data.Length()));
    EXPECT_EQ(std::string("ab\0cd", 5), pty.Receive(5, 2000));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(Line("WriteToSerialPort", "strToSend (ab)"), lines[1]);
}

TEST_F(SerialPortTest, WriteShowsUnterminatedDataWithoutReadingPastIt) {
    ASSERT_EQ(0, Open());
    ClearTrace();
    // Exactly ten bytes on the heap: a read of the eleventh is caught by the
    // address sanitizer, and shows as junk in the trace elsewhere.
    ExactBytes data("0123456789");
    EXPECT_EQ(10, WriteToSerialPort(data.Data(), data.Length()));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(Line("WriteToSerialPort", "strToSend (0123456789)"), lines[1]);
}

TEST_F(SerialPortTest, WriteOfLongDataCutsItsTraceTextToTheBuffer) {
    ASSERT_EQ(0, Open());
    ClearTrace();
    ExactBytes data(std::string(300, 'w'));
    EXPECT_EQ(300, WriteToSerialPort(data.Data(), data.Length()));
    EXPECT_EQ(std::string(300, 'w'), pty.Receive(300, 2000));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    std::string head = Line("WriteToSerialPort", "strToSend (");
    ASSERT_EQ(head, lines[1].substr(0, head.size()));
    std::string text = lines[1].substr(Line("WriteToSerialPort", "").size());
    EXPECT_LE(text.size(), ZKPOS_SO_TRACE_TEXT_SIZE - 1u);
    std::string shown = text.substr(strlen("strToSend ("));
    if (!shown.empty() && shown.back() == ')') {
        shown.pop_back();
    }
    EXPECT_GE(shown.size(), 100u);
    EXPECT_EQ(std::string(shown.size(), 'w'), shown);
}

TEST_F(SerialPortTest, WriteNeverWaitsForRoomInTheOutputQueue) {
    ASSERT_EQ(0, Open());
    // Far more than a line's output queue holds, and nobody reads the other
    // side: the write takes what fits and returns at once.
    ExactBytes data(std::string(1 << 20, 'q'));
    long start = MonotonicMs();
    int result = WriteToSerialPort(data.Data(), data.Length());
    EXPECT_LT(MonotonicMs() - start, 2000);
    EXPECT_LT(result, data.Length());
    EXPECT_GE(result, -1);
}

TEST_F(SerialPortTest, WriteWithNoPortOpenFails) {
    m_iFD = -1;
    ExactBytes data("lost");
    EXPECT_EQ(-1, WriteToSerialPort(data.Data(), data.Length()));
}

TEST_F(SerialPortTest, ReadReturnsWhatIsWaitingAndShowsItWithTheCount) {
    ASSERT_EQ(0, Open());
    ClearTrace();
    ASSERT_TRUE(pty.Send("abc"));
    ASSERT_TRUE(pty.WaitQueued(3, 2000));
    ReadBlock block;
    ASSERT_EQ(3, ReadFromSerialPort(block.Data()));
    EXPECT_EQ("abc", block.First(3));
    EXPECT_EQ(Lines(), (std::vector<std::string>{Line("ReadFromSerialPort", "Begin"),
                                                 Line("ReadFromSerialPort", "strRead (abc) 3 "),
                                                 Line("ReadFromSerialPort", "End")}));
}

TEST_F(SerialPortTest, BytesThatArrivedBeforeTheOpenAreReadFirst) {
    ASSERT_TRUE(pty.Send("early"));
    ASSERT_TRUE(pty.WaitQueued(5, 2000));
    ASSERT_EQ(0, Open());
    ReadBlock block;
    ASSERT_EQ(5, ReadFromSerialPort(block.Data()));
    EXPECT_EQ("early", block.First(5));
}

TEST_F(SerialPortTest, ReadTakesAtMost1024BytesPerCall) {
    ASSERT_EQ(0, Open());
    std::string sent;
    for (int i = 0; i < 1500; ++i) {
        sent += static_cast<char>('A' + i % 26);
    }
    ASSERT_TRUE(pty.Send(sent));
    ASSERT_TRUE(pty.WaitQueued(1500, 3000));
    ReadBlock first;
    ASSERT_EQ(1024, ReadFromSerialPort(first.Data()));
    EXPECT_EQ(sent.substr(0, 1024), first.First(1024));
    ReadBlock rest;
    ASSERT_EQ(476, ReadFromSerialPort(rest.Data()));
    EXPECT_EQ(sent.substr(1024), rest.First(476));
}

TEST_F(SerialPortTest, FullBlockIsShownWithoutReadingPastIt) {
    ASSERT_EQ(0, Open());
    ClearTrace();
    ASSERT_TRUE(pty.Send(std::string(1024, 'r')));
    ASSERT_TRUE(pty.WaitQueued(1024, 3000));
    // The block is exactly 1024 bytes on the heap, all of them data: no
    // terminator anywhere.
    ReadBlock block;
    ASSERT_EQ(1024, ReadFromSerialPort(block.Data()));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    std::string head = Line("ReadFromSerialPort", "strRead (");
    ASSERT_EQ(head, lines[1].substr(0, head.size()));
    std::string text = lines[1].substr(Line("ReadFromSerialPort", "").size());
    EXPECT_LE(text.size(), ZKPOS_SO_TRACE_TEXT_SIZE - 1u);
    std::string shown = text.substr(strlen("strRead ("));
    EXPECT_GE(shown.find_first_not_of('r'), 100u) << shown;
    EXPECT_EQ(std::string::npos, shown.find_first_not_of("r) 1024")) << shown;
}

TEST_F(SerialPortTest, ReadTimeOutReturnsZeroAfterTheReadTimeOut) {
    ASSERT_EQ(0, Open());
    m_lReadTimeout = 1;
    ClearTrace();
    ReadBlock block;
    long start = MonotonicMs();
    EXPECT_EQ(0, ReadFromSerialPort(block.Data()));
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(Lines(), (std::vector<std::string>{Line("ReadFromSerialPort", "Begin"),
                                                 Line("ReadFromSerialPort", "strRead () 0 "),
                                                 Line("ReadFromSerialPort", "End")}));
}

TEST_F(SerialPortTest, ReadTimeOutOfZeroIsAPoll) {
    ASSERT_EQ(0, Open());
    m_lReadTimeout = 0;
    ReadBlock block;
    long start = MonotonicMs();
    EXPECT_EQ(0, ReadFromSerialPort(block.Data()));
    EXPECT_LT(MonotonicMs() - start, 500);
}

TEST_F(SerialPortTest, ReadAfterATimeOutTakesBytesThatArriveDuringItsWait) {
    ASSERT_EQ(0, Open());
    m_lReadTimeout = 0;
    ReadBlock empty;
    ASSERT_EQ(0, ReadFromSerialPort(empty.Data()));

    m_lReadTimeout = 3;
    std::thread device([this] {
        usleep(300 * 1000);
        pty.Send("late");
    });
    ReadBlock block;
    long start = MonotonicMs();
    int count = ReadFromSerialPort(block.Data());
    long elapsed = MonotonicMs() - start;
    device.join();
    ASSERT_EQ(4, count);
    EXPECT_EQ("late", block.First(4));
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 2500);
}

TEST_F(SerialPortTest, ReadWithNoPortOpenWaitsTheTimeOutAndReturnsZero) {
    m_iFD = -1;
    m_lReadTimeout = 1;
    ReadBlock block;
    long start = MonotonicMs();
    EXPECT_EQ(0, ReadFromSerialPort(block.Data()));
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
}

struct PauseCase {
    size_t waiting;
    bool pauses;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const PauseCase& value) {
    return out << value.waiting << " bytes waiting";
}

class ReadPauseTest : public SerialPortTest, public ::testing::WithParamInterface<PauseCase> {};

// A behaviour check, not a benchmark: the pause is 80 ms, the bounds leave
// room for a busy machine, and the quickest of three reads is the one judged.
TEST_P(ReadPauseTest, PausesEightyMillisecondsOnlyWhenEightOrMoreBytesWait) {
    const PauseCase& pause = GetParam();
    ASSERT_EQ(0, Open());
    long quickest = LONG_MAX;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_TRUE(pty.Send(std::string(pause.waiting, 'p')));
        ASSERT_TRUE(pty.WaitQueued(pause.waiting, 2000));
        ReadBlock block;
        long start = MonotonicMs();
        int count = ReadFromSerialPort(block.Data());
        long elapsed = MonotonicMs() - start;
        ASSERT_EQ(static_cast<int>(pause.waiting), count);
        quickest = std::min(quickest, elapsed);
    }
    if (pause.pauses) {
        EXPECT_GE(quickest, 79) << pause.waiting << " bytes waiting";
        EXPECT_LT(quickest, 1000) << pause.waiting << " bytes waiting";
    } else {
        EXPECT_LT(quickest, 40) << pause.waiting << " bytes waiting";
    }
}

INSTANTIATE_TEST_SUITE_P(Waiting, ReadPauseTest,
                         ::testing::Values(PauseCase{1, false}, PauseCase{3, false},
                                           PauseCase{7, false}, PauseCase{8, true},
                                           PauseCase{20, true}, PauseCase{1024, true}));

class HighDescriptorSerialTest : public SerialPortTest {
protected:
    void SetUp() override {
        SerialPortTest::SetUp();
        ASSERT_TRUE(filler.Ready()) << filler.Error();
    }
    // The next descriptor opened lies well beyond what an fd_set holds.
    zkpos_test::DescriptorFiller filler{FD_SETSIZE + 76};
};

TEST_F(HighDescriptorSerialTest, PortAboveFdSetSizeIsReadLikeAnyOther) {
    ASSERT_EQ(0, Open());
    ASSERT_GE(m_iFD, FD_SETSIZE);
    ASSERT_TRUE(pty.Send("far"));
    ASSERT_TRUE(pty.WaitQueued(3, 2000));
    ReadBlock block;
    ASSERT_EQ(3, ReadFromSerialPort(block.Data()));
    EXPECT_EQ("far", block.First(3));

    ASSERT_TRUE(pty.Send(std::string(1500, 'h')));
    ASSERT_TRUE(pty.WaitQueued(1500, 3000));
    ReadBlock full;
    EXPECT_EQ(1024, ReadFromSerialPort(full.Data()));
}

TEST_F(HighDescriptorSerialTest, PortAboveFdSetSizeTimesOutLikeAnyOther) {
    ASSERT_EQ(0, Open());
    ASSERT_GE(m_iFD, FD_SETSIZE);
    m_lReadTimeout = 1;
    ReadBlock block;
    long start = MonotonicMs();
    EXPECT_EQ(0, ReadFromSerialPort(block.Data()));
    long elapsed = MonotonicMs() - start;
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3000);
}

}  // namespace
