// SPDX-License-Identifier: Apache-2.0
// Device data shown as text in the trace, and the one-call trace helper:
// bounded by the data's own length and by the text buffer, never past either.
// The data is handed over in heap blocks of exactly its length, so a read
// past its end is caught by the address sanitizer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "TraceFile.h"
#include "ZkPosSo.h"

namespace {

// A heap copy of the bytes with nothing after them.
struct ExactBlock {
    explicit ExactBlock(const std::string& bytes)
        : data(static_cast<char*>(malloc(bytes.empty() ? 1 : bytes.size()))), length(bytes.size()) {
        memcpy(data.get(), bytes.data(), bytes.size());
    }
    struct Free {
        void operator()(char* p) const { free(p); }
    };
    std::unique_ptr<char, Free> data;
    size_t length;
};

struct ShowCase {
    const char* what;
    std::string data;
    size_t size;  // of the text buffer
    std::string shown;
};

// Names the case in the test output.
std::ostream& operator<<(std::ostream& out, const ShowCase& value) {
    return out << value.what;
}

class ShowBytesTest : public ::testing::TestWithParam<ShowCase> {};

TEST_P(ShowBytesTest, ShowsUpToTheFirstZeroWithinDataAndBuffer) {
    const ShowCase& show = GetParam();
    ExactBlock block(show.data);
    std::vector<char> text(show.size + 8, '#');
    size_t count = ShowBytes(text.data(), show.size, block.data.get(), block.length);
    EXPECT_EQ(show.shown.size(), count) << show.what;
    EXPECT_EQ(show.shown, std::string(text.data())) << show.what;
    EXPECT_EQ('#', text[show.size]) << show.what << ": wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Data, ShowBytesTest,
    ::testing::Values(ShowCase{"short data", "hello", 128, "hello"},
                      ShowCase{"stops at the first zero", std::string("ab\0cd", 5), 128, "ab"},
                      ShowCase{"zero first", std::string("\0xyz", 4), 128, ""},
                      ShowCase{"no data", "", 128, ""},
                      ShowCase{"no terminator, data fills the buffer", std::string(127, 'a'), 128,
                               std::string(127, 'a')},
                      ShowCase{"longer than the buffer", std::string(1024, 'b'), 128,
                               std::string(127, 'b')},
                      ShowCase{"buffer of one byte", "abc", 1, ""},
                      ShowCase{"high bytes are data", "\x80\xff", 16, "\x80\xff"}));

class TraceHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        path = dir.File("trace.txt");
        ASSERT_EQ(0, zkpos_test::TraceInto(path, 5));
    }
    void TearDown() override { zkpos_test::TraceOff(); }

    zkpos_test::TemporaryDirectory dir;
    std::string path;
};

TEST_F(TraceHelperTest, FormatsOneLineUnderTheModuleName) {
    Trace("readData", 3, "iResult %d", -1);
    Trace("OpenSerialPort", 1, "Open Port error");
    EXPECT_EQ(zkpos_test::ReadLines(path),
              (std::vector<std::string>{"ZkPosSo::readData --> iResult -1",
                                        "ZkPosSo::OpenSerialPort --> Open Port error"}));
}

TEST_F(TraceHelperTest, LevelAboveTheVerbosityWritesNothing) {
    ASSERT_EQ(0, ChangeVerbosity(3));
    Trace("f", 5, "Begin");
    Trace("f", 4, "hidden");
    Trace("f", 3, "shown");
    EXPECT_EQ(zkpos_test::ReadLines(path), std::vector<std::string>{"ZkPosSo::f --> shown"});
}

TEST_F(TraceHelperTest, TextIsCutToTheTraceBuffer) {
    std::string name(300, 'p');
    Trace("OpenSerialPort", 3, "Port Name %s", name.c_str());
    std::vector<std::string> lines = zkpos_test::ReadLines(path);
    ASSERT_EQ(1u, lines.size());
    std::string head = "ZkPosSo::OpenSerialPort --> ";
    ASSERT_EQ(head, lines[0].substr(0, head.size()));
    std::string text = lines[0].substr(head.size());
    EXPECT_EQ(ZKPOS_SO_TRACE_TEXT_SIZE - 1u, text.size());
    EXPECT_EQ("Port Name " + std::string(text.size() - 10, 'p'), text);
}

}  // namespace
