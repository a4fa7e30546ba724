// SPDX-License-Identifier: Apache-2.0
// The trace log: status codes, the two file modes, the file-name limit, the
// level filter, the date prefix and the rendering of control bytes. Every
// case works on a file in a temporary directory of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Descriptors.h"
#include "TraceFile.h"
#include "ZkPosSo.h"

namespace {

using zkpos_test::FileExists;
using zkpos_test::ReadFileBytes;
using zkpos_test::ReadLines;
using zkpos_test::TemporaryDirectory;
using zkpos_test::WriteFileBytes;

class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty()) << "no temporary directory";
        m_bDebug = true;
    }
    void TearDown() override {
        StopLog();
        ChangePrintDate(0);
        m_bDebug = false;
    }

    // A path of exactly length characters inside the temporary directory,
    // ending in the given extension.
    std::string PathOfLength(size_t length, const std::string& extension) const {
        std::string head = dir.Path() + "/";
        return head + std::string(length - head.size() - extension.size(), 'n') + extension;
    }

    TemporaryDirectory dir;
};

TEST_F(TraceLogTest, DebugOffTouchesNoFileWhateverTheArguments) {
    m_bDebug = false;
    std::string path = dir.File("trace.txt");
    EXPECT_EQ(0, InitLog(path.c_str(), 5, 1));
    EXPECT_EQ(0, InitLog(path.c_str(), 9, 7));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "openDevice", "Begin", 1));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "openDevice", "Begin", 0));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "openDevice", "Begin", 6));
    EXPECT_FALSE(FileExists(path));
}

TEST_F(TraceLogTest, TextModeCreatesTheMissingFileEmptyAndAppendsEveryLine) {
    std::string path = dir.File("trace.txt");
    ASSERT_TRUE(WriteFileBytes(path, "earlier line\n"));
    ASSERT_EQ(0, unlink(path.c_str()));

    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(1, m_bTxt);
    ASSERT_TRUE(FileExists(path)) << "the probe creates the file";
    EXPECT_EQ("", ReadFileBytes(path));

    EXPECT_EQ(0, PrintLog("ZkPosSo", "openDevice", "Begin", 5));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "openDevice", "End", 5));
    EXPECT_EQ(ReadLines(path), (std::vector<std::string>{"ZkPosSo::openDevice --> Begin",
                                                         "ZkPosSo::openDevice --> End"}));
}

TEST_F(TraceLogTest, NothingStaysOpenBetweenLines) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(nullptr, m_TextFile);
    EXPECT_EQ(-1, m_iStreamOut);
    ASSERT_EQ(0, PrintLog("ZkPosSo", "f", "one", 1));
    EXPECT_EQ(nullptr, m_TextFile);
    EXPECT_EQ(-1, m_iStreamOut);

    // Each line opens the file afresh, so a file removed in between comes back.
    ASSERT_EQ(0, unlink(path.c_str()));
    ASSERT_EQ(0, PrintLog("ZkPosSo", "f", "two", 1));
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"ZkPosSo::f --> two"});
}

TEST_F(TraceLogTest, TextModeProbeCreatesTheFileEvenAtVerbosityZero) {
    std::string path = dir.File("quiet.log");
    EXPECT_EQ(0, InitLog(path.c_str(), 0, 0));
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(LOG_NOT_WRITTEN, PrintLog("ZkPosSo", "f", "text", 1));
    EXPECT_EQ("", ReadFileBytes(path));
}

struct ModeCase {
    const char* name;  // inside the temporary directory unless it is absolute
    bool relative;     // used as it stands, relative to the working directory
    short textMode;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const ModeCase& value) {
    return out << "\"" << value.name << "\"";
}

class TraceFileModeTest : public TraceLogTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TraceFileModeTest, ExtensionChoosesTheMode) {
    const ModeCase& mode = GetParam();
    std::string path = mode.relative ? mode.name : dir.File(mode.name);
    m_bTxt = mode.textMode ? 0 : 1;
    InitLog(path.c_str(), 5, 0);
    EXPECT_EQ(mode.textMode, m_bTxt) << path;
}

// Names in descriptor mode are never created, so the relative ones are safe
// whatever the working directory.
INSTANTIATE_TEST_SUITE_P(Names, TraceFileModeTest,
                         ::testing::Values(ModeCase{"trace.LOG", false, 1},
                                           ModeCase{"x.Txt", false, 1}, ModeCase{"a.log", false, 1},
                                           ModeCase{"ZkPosSoLog.txt", false, 1},
                                           ModeCase{".log", true, 0}, ModeCase{"log", true, 0},
                                           ModeCase{"trace.dat", false, 0},
                                           ModeCase{"trace.txt.old", false, 0},
                                           ModeCase{"tracelog", false, 0}));

TEST_F(TraceLogTest, DescriptorModeOnMissingPathFailsAndTurnsTracingOff) {
    std::string path = dir.File("trace.dat");
    EXPECT_EQ(LOG_OPEN_FAILED, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(0, m_bTxt);
    EXPECT_EQ(0, GetVerbosity());
    EXPECT_FALSE(FileExists(path)) << "descriptor mode never creates the file";
    EXPECT_EQ(LOG_NOT_WRITTEN, PrintLog("ZkPosSo", "f", "lost", 1));
}

TEST_F(TraceLogTest, DescriptorModeWritesEveryLineFromTheFilesFirstByte) {
    std::string path = dir.File("trace.dat");
    std::string earlier(60, 'X');
    ASSERT_TRUE(WriteFileBytes(path, earlier + "\n"));
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(0, m_bTxt);

    ASSERT_EQ(0, PrintLog("ZkPosSo", "openDevice", "Begin", 5));
    std::string first = "ZkPosSo::openDevice --> Begin\n";
    EXPECT_EQ(first + earlier.substr(first.size()) + "\n", ReadFileBytes(path));

    ASSERT_EQ(0, PrintLog("ZkPosSo", "f", "End", 5));
    std::string second = "ZkPosSo::f --> End\n";
    EXPECT_EQ(second + first.substr(second.size()) + earlier.substr(first.size()) + "\n",
              ReadFileBytes(path));
}

TEST_F(TraceLogTest, FileNameOf199CharactersIsAcceptedAnd200Refused) {
    std::string accepted = PathOfLength(199, ".txt");
    ASSERT_EQ(199u, accepted.size());
    ASSERT_EQ(0, InitLog(accepted.c_str(), 5, 0));
    EXPECT_STREQ(accepted.c_str(), m_strFileName);
    EXPECT_TRUE(FileExists(accepted));

    std::string refused = PathOfLength(200, ".txt");
    ASSERT_EQ(200u, refused.size());
    EXPECT_EQ(LOG_OPEN_FAILED, InitLog(refused.c_str(), 5, 0));
    EXPECT_EQ(0, GetVerbosity());
    EXPECT_FALSE(FileExists(refused));
    EXPECT_STREQ(accepted.c_str(), m_strFileName) << "a refused name is not stored";
    EXPECT_EQ(nullptr, m_TextFile);
    EXPECT_EQ(-1, m_iStreamOut);
}

struct InitCase {
    const char* what;
    size_t nameLength;  // 0: a short name
    int verbosity;
    short printDate;
    int status;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const InitCase& value) {
    return out << value.what;
}

class InitLogStatusTest : public TraceLogTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitLogStatusTest, ReportsTheFirstBadArgumentAndTurnsTracingOff) {
    const InitCase& init = GetParam();
    std::string good = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(good.c_str(), 4, 1));
    std::string name = init.nameLength == 0 ? good : PathOfLength(init.nameLength, ".txt");
    EXPECT_EQ(init.status, InitLog(name.c_str(), init.verbosity, init.printDate)) << init.what;
    EXPECT_EQ(0, GetVerbosity()) << init.what;
    EXPECT_EQ(1, m_bPrintDate) << init.what << ": settings of the failed call are not stored";
}

INSTANTIATE_TEST_SUITE_P(Arguments, InitLogStatusTest,
                         ::testing::Values(InitCase{"verbosity -1", 0, -1, 0, LOG_BAD_LEVEL},
                                           InitCase{"verbosity 6", 0, 6, 0, LOG_BAD_LEVEL},
                                           InitCase{"print date 2", 0, 5, 2, LOG_BAD_PRINT_DATE},
                                           InitCase{"print date -1", 0, 5, -1, LOG_BAD_PRINT_DATE},
                                           InitCase{"long name", 200, 5, 0, LOG_OPEN_FAILED},
                                           InitCase{"long name before bad print date", 250, 9, 3,
                                                    LOG_OPEN_FAILED},
                                           InitCase{"bad print date before bad verbosity", 0, 9, 3,
                                                    LOG_BAD_PRINT_DATE}));

TEST_F(TraceLogTest, VerbosityThreeWritesLevelsOneToThreeOnly) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 3, 0));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "level 1", 1));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "level 2", 2));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "level 3", 3));
    EXPECT_EQ(LOG_NOT_WRITTEN, PrintLog("ZkPosSo", "f", "level 4", 4));
    EXPECT_EQ(LOG_NOT_WRITTEN, PrintLog("ZkPosSo", "f", "level 5", 5));
    EXPECT_EQ(ReadLines(path),
              (std::vector<std::string>{"ZkPosSo::f --> level 1", "ZkPosSo::f --> level 2",
                                        "ZkPosSo::f --> level 3"}));
}

TEST_F(TraceLogTest, LevelOutsideOneToFiveIsRefusedEvenAtVerbosityZero) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(LOG_BAD_LEVEL, PrintLog("ZkPosSo", "f", "level 0", 0));
    EXPECT_EQ(LOG_BAD_LEVEL, PrintLog("ZkPosSo", "f", "level 6", 6));
    ASSERT_EQ(0, ChangeVerbosity(0));
    EXPECT_EQ(LOG_BAD_LEVEL, PrintLog("ZkPosSo", "f", "level 0", 0));
    EXPECT_EQ(LOG_BAD_LEVEL, PrintLog("ZkPosSo", "f", "level -1", -1));
    for (int level = 1; level <= 5; ++level) {
        EXPECT_EQ(LOG_NOT_WRITTEN, PrintLog("ZkPosSo", "f", "text", level)) << level;
    }
    EXPECT_EQ("", ReadFileBytes(path));
}

TEST_F(TraceLogTest, StopLogSilencesAndChangeVerbosityResumesInTheLastFile) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    StopLog();
    EXPECT_EQ(0, GetVerbosity());
    EXPECT_EQ(LOG_NOT_WRITTEN, PrintLog("ZkPosSo", "f", "silenced", 1));
    EXPECT_EQ(0, ChangeVerbosity(5));
    EXPECT_EQ(5, GetVerbosity());
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "again", 5));
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"ZkPosSo::f --> again"});
}

TEST_F(TraceLogTest, ChangeVerbosityAndChangePrintDateRefuseValuesOutOfRange) {
    m_bDebug = false;  // neither of them looks at the switch
    ASSERT_EQ(0, ChangeVerbosity(2));
    ASSERT_EQ(0, ChangePrintDate(1));
    const int badVerbosities[] = {-1, 6, 100};
    for (int verbosity : badVerbosities) {
        EXPECT_EQ(LOG_BAD_LEVEL, ChangeVerbosity(verbosity)) << verbosity;
        EXPECT_EQ(2, GetVerbosity());
    }
    const short badFlags[] = {-1, 2};
    for (short flag : badFlags) {
        EXPECT_EQ(LOG_BAD_PRINT_DATE, ChangePrintDate(flag)) << flag;
        EXPECT_EQ(1, m_bPrintDate);
    }
    for (int verbosity = 0; verbosity <= 5; ++verbosity) {
        EXPECT_EQ(0, ChangeVerbosity(verbosity));
        EXPECT_EQ(verbosity, GetVerbosity());
    }
    EXPECT_EQ(0, ChangePrintDate(0));
    EXPECT_EQ(0, m_bPrintDate);
}

// The time shown in a dated line, or -1 when the line has no date prefix.
time_t ShownTime(const std::string& line) {
    struct tm shown;
    memset(&shown, 0, sizeof(shown));
    int milliseconds = -1;
    if (!zkpos_test::HasDatePrefix(line) ||
        sscanf(line.c_str(), "[%d-%d-%d %d:%d:%d.%d]", &shown.tm_year, &shown.tm_mon,
               &shown.tm_mday, &shown.tm_hour, &shown.tm_min, &shown.tm_sec, &milliseconds) != 7 ||
        milliseconds < 0 || milliseconds > 999) {
        return -1;
    }
    shown.tm_year -= 1900;
    shown.tm_mon -= 1;
    shown.tm_isdst = -1;
    return mktime(&shown);
}

// The second of the clock that dates the lines; time() may lag it by a tick.
time_t Now() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// Two lines a second boundary apart: each shows the time of its own call.
TEST_F(TraceLogTest, DatePrefixShowsTheLocalTimeToTheMillisecond) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 1));
    std::vector<std::pair<time_t, time_t>> calls;
    for (int line = 0; line < 2; ++line) {
        if (line > 0) {
            usleep(1100 * 1000);
        }
        time_t before = Now();
        ASSERT_EQ(0, PrintLog("ZkPosSo", "openDevice", "Begin", 5));
        calls.emplace_back(before, Now());
    }

    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(calls.size(), lines.size());
    for (size_t line = 0; line < lines.size(); ++line) {
        EXPECT_EQ("ZkPosSo::openDevice --> Begin", zkpos_test::WithoutDatePrefix(lines[line]));
        time_t when = ShownTime(lines[line]);
        EXPECT_GE(when, calls[line].first) << lines[line];
        EXPECT_LE(when, calls[line].second) << lines[line];
    }
}

TEST_F(TraceLogTest, UnopenableFileDropsTheLineAndTheNextLineTriesAgain) {
    std::string sub = dir.File("sub");
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    std::string path = sub + "/trace.txt";
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    ASSERT_EQ(0, unlink(path.c_str()));
    ASSERT_EQ(0, rmdir(sub.c_str()));

    EXPECT_EQ(LOG_LINE_FAILED, PrintLog("ZkPosSo", "f", "dropped", 1));
    EXPECT_EQ(5, GetVerbosity()) << "a dropped line does not turn tracing off";

    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "kept", 1));
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"ZkPosSo::f --> kept"});
}

TEST_F(TraceLogTest, DescriptorModeShortWriteDropsTheLineAndClosesTheFile) {
    // /dev/full takes the open and refuses every write.
    ASSERT_EQ(0, InitLog("/dev/full", 5, 0));
    EXPECT_EQ(0, m_bTxt);
    EXPECT_EQ(LOG_LINE_FAILED, PrintLog("ZkPosSo", "f", "lost", 1));
    EXPECT_EQ(-1, m_iStreamOut);
    EXPECT_EQ(nullptr, m_TextFile);
}

// A text-mode log is a regular file: a device or a FIFO at the path (through
// a link or not) is refused as a file that cannot be opened, while a link to
// a regular file is followed.
TEST_F(TraceLogTest, TextModeWritesOnlyToARegularFileAndFollowsLinks) {
    std::string device = dir.File("full.txt");
    ASSERT_EQ(0, symlink("/dev/full", device.c_str()));
    EXPECT_EQ(LOG_OPEN_FAILED, InitLog(device.c_str(), 5, 0));
    std::string fifo = dir.File("fifo.txt");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(LOG_OPEN_FAILED, InitLog(fifo.c_str(), 5, 0)) << "with a reader on the FIFO";
    EXPECT_EQ(0, GetVerbosity());
    close(reader);

    std::string target = dir.File("target.txt");
    std::string link = dir.File("link.txt");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    ASSERT_EQ(0, InitLog(link.c_str(), 5, 0));
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "kept", 1));
    EXPECT_EQ(ReadLines(target), std::vector<std::string>{"ZkPosSo::f --> kept"});

    // Every line checks again: a FIFO put in the file's place takes none.
    ASSERT_EQ(0, unlink(target.c_str()));
    ASSERT_EQ(0, mkfifo(target.c_str(), 0600));
    reader = open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(LOG_LINE_FAILED, PrintLog("ZkPosSo", "f", "refused", 1));
    char taken = 0;
    EXPECT_EQ(0, read(reader, &taken, 1)) << "the FIFO got a line";
    close(reader);
}

// A host that forks while another thread writes a line: the child can trace.
TEST_F(TraceLogTest, ChildForkedWhileAnotherThreadTracesCanTrace) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    std::atomic<bool> stop{false};
    std::thread tracer([&stop] {
        while (!stop.load()) {
            PrintLog("ZkPosSo", "parent", "line", 1);
        }
    });
    const int kChildren = 100;
    std::vector<pid_t> children;
    for (int child = 0; child < kChildren; ++child) {
        pid_t pid = fork();
        if (pid == 0) {
            _exit(PrintLog("ZkPosSo", "child", "line", 1) == LOG_OK ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    stop.store(true);
    tracer.join();

    int traced = 0;
    long deadline = zkpos_test::MonotonicMs() + 10000;
    for (pid_t pid : children) {
        int status = 0;
        pid_t ended = 0;
        while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
               zkpos_test::MonotonicMs() < deadline) {
            usleep(10 * 1000);
        }
        if (ended == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        traced += ended == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    }
    EXPECT_EQ(kChildren, traced) << "children hung on the log's lock";
}

TEST_F(TraceLogTest, LogFileFunctionsReportWhatIsNotOpen) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(LOG_WRITE_FAILED, WriteLogFile("nothing open\n"));
    EXPECT_EQ(0, CloseLogFile()) << "closing with nothing open is not an error";

    ASSERT_EQ(0, OpenLogFile());
    EXPECT_NE(nullptr, m_TextFile);
    EXPECT_EQ(0, WriteLogFile("direct\n"));
    EXPECT_EQ(0, CloseLogFile());
    EXPECT_EQ(nullptr, m_TextFile);
    EXPECT_EQ(-1, m_iStreamOut);
    EXPECT_EQ("direct\n", ReadFileBytes(path));

    std::string descriptorPath = dir.File("trace.dat");
    ASSERT_TRUE(WriteFileBytes(descriptorPath, ""));
    ASSERT_EQ(0, InitLog(descriptorPath.c_str(), 5, 0));
    EXPECT_EQ(LOG_WRITE_FAILED, WriteLogFile("nothing open\n"));
    ASSERT_EQ(0, OpenLogFile());
    EXPECT_GE(m_iStreamOut, 0);
    EXPECT_EQ(0, WriteLogFile("direct\n"));
    EXPECT_EQ(0, CloseLogFile());
    EXPECT_EQ(-1, m_iStreamOut);
    EXPECT_EQ("direct\n", ReadFileBytes(descriptorPath));
}

TEST_F(TraceLogTest, InitLogTakesBackItsOwnStoredName) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    // The name copied onto itself: the address sanitizer reports an
    // overlapping copy if the library does not allow for it.
    EXPECT_EQ(0, InitLog(m_strFileName, 3, 0));
    EXPECT_EQ(path, std::string(m_strFileName));
    EXPECT_EQ(3, GetVerbosity());
    EXPECT_EQ(0, PrintLog("ZkPosSo", "f", "kept", 3));
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"ZkPosSo::f --> kept"});

    // A tail of the stored name, copied to its start.
    std::string tail = dir.File("t.txt");
    ASSERT_EQ(0, InitLog(("/." + tail).c_str(), 5, 0));
    EXPECT_EQ(0, InitLog(m_strFileName + 2, 5, 0));
    EXPECT_EQ(tail, std::string(m_strFileName));
    EXPECT_EQ(1, m_bTxt);
}

TEST_F(TraceLogTest, WriteLogFileTakesANullTextAsEmpty) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    EXPECT_EQ(LOG_WRITE_FAILED, WriteLogFile(nullptr)) << "nothing open";
    ASSERT_EQ(0, OpenLogFile());
    EXPECT_EQ(0, WriteLogFile(nullptr));
    EXPECT_EQ(0, WriteLogFile("after\n"));
    EXPECT_EQ(0, CloseLogFile());
    EXPECT_EQ("after\n", ReadFileBytes(path));
}

struct RenderCase {
    const char* what;
    std::string text;
    std::string shown;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const RenderCase& value) {
    return out << value.what;
}

class TraceRenderingTest : public TraceLogTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(TraceRenderingTest, ShowsControlBytesOnlyWhenAFramingByteIsPresent) {
    const RenderCase& render = GetParam();
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    ASSERT_EQ(0, PrintLog("ZkPosSo", "f", render.text.c_str(), 2)) << render.what;
    EXPECT_EQ("ZkPosSo::f --> " + render.shown + "\n", ReadFileBytes(path)) << render.what;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TraceRenderingTest,
    ::testing::Values(RenderCase{"STX ABC ETX",
                                 "\x02"
                                 "ABC\x03",
                                 "|0x02|ABC|0x03|"},
                      RenderCase{"CR LF without framing bytes", "AB\r\nCD", "AB\r\nCD"},
                      RenderCase{"CR LF with STX",
                                 "\x02"
                                 "AB\r\n",
                                 "|0x02|AB|0x0d||0x0a|"},
                      RenderCase{"ACK and TAB", "\x06\tX", "|0x06||0x09|X"},
                      RenderCase{"NAK alone", "\x15", "|0x15|"},
                      RenderCase{"ESC and US with ETX", "\x1b\x1f\x03", "|0x1b||0x1f||0x03|"},
                      RenderCase{"blank and DEL are themselves", "\x02 \x7f", "|0x02| \x7f"},
                      RenderCase{"high bytes as two hex digits", "\x02\x80\xff\xc3",
                                 "|0x02||0x80||0xff||0xc3|"},
                      RenderCase{"high bytes without framing bytes", "\x80\xff", "\x80\xff"},
                      RenderCase{"other control bytes alone", "\x01\x04\x07", "\x01\x04\x07"},
                      RenderCase{"empty text", "", ""}));

TEST_F(TraceLogTest, LongTextIsCutTo1023Characters) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    std::string text(3000, 'L');
    ASSERT_EQ(0, PrintLog("ZkPosSo", "f", text.c_str(), 1));
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    std::string head = "ZkPosSo::f --> ";
    ASSERT_EQ(head, lines[0].substr(0, head.size()));
    std::string shown = lines[0].substr(head.size());
    EXPECT_LE(shown.size(), 1023u);
    EXPECT_GE(shown.size(), 1000u);
    EXPECT_EQ(std::string(shown.size(), 'L'), shown);
}

TEST_F(TraceLogTest, HexRenderingThatOutgrowsTheBufferIsCutToIt) {
    std::string path = dir.File("trace.txt");
    ASSERT_EQ(0, InitLog(path.c_str(), 5, 0));
    // 600 framing bytes would take 3600 characters rendered.
    std::string text(600, '\x02');
    std::string full;
    for (size_t i = 0; i < text.size(); ++i) {
        full += "|0x02|";
    }
    ASSERT_EQ(0, PrintLog("ZkPosSo", "f", text.c_str(), 1));
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    std::string head = "ZkPosSo::f --> ";
    ASSERT_EQ(head, lines[0].substr(0, head.size()));
    std::string shown = lines[0].substr(head.size());
    EXPECT_LE(shown.size(), 1023u);
    EXPECT_GE(shown.size(), 900u);
    EXPECT_EQ(full.substr(0, shown.size()), shown);
}

}  // namespace
