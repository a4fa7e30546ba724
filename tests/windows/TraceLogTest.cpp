// SPDX-License-Identifier: Apache-2.0
// The trace log: the log folder under Documents, the two log paths, the level
// filter and the lines in the file. Runs in the private Wine prefix of the
// tests, whose Documents folder is a folder of its own.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "ZkPosDll.h"

namespace {

std::string DocumentsFolder() {
    char folder[MAX_PATH] = "";
    EXPECT_TRUE(SHGetSpecialFolderPathA(nullptr, folder, CSIDL_PERSONAL, FALSE));
    return folder;
}

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string LocalTimeText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
    return text;
}

}  // namespace

static std::string LevelName(int level) {
    return level < 0 ? "Minus" + std::to_string(-static_cast<long long>(level))
                     : std::to_string(level);
}

class LogPaths : public ::testing::Test {
protected:
    void SetUp() override {
        documents_ = DocumentsFolder();
        ASSERT_FALSE(documents_.empty());
        std::filesystem::remove_all(documents_ + "\\Zelkortec");
        strcpy(m_strLogFileName, "left over");
        strcpy(m_strComLogFileName, "left over");
    }
    void TearDown() override { m_iTraceLevel = 0; }

    std::string documents_;
};

TEST_F(LogPaths, TracingOffEmptiesBothPathsAndCreatesNothing) {
    m_iTraceLevel = 0;
    InitLogPaths();
    EXPECT_STREQ("", m_strLogFileName);
    EXPECT_STREQ("", m_strComLogFileName);
    EXPECT_FALSE(Exists(documents_ + "\\Zelkortec"));
}

TEST_F(LogPaths, TracingOnCreatesZelkortecJavaPosLogUnderDocuments) {
    m_iTraceLevel = 3;
    InitLogPaths();
    // Each folder can only be made once its parent exists, so the last one
    // existing shows all three were made, in order.
    EXPECT_TRUE(IsFolder(documents_ + "\\Zelkortec"));
    EXPECT_TRUE(IsFolder(documents_ + "\\Zelkortec\\JavaPos"));
    EXPECT_TRUE(IsFolder(documents_ + "\\Zelkortec\\JavaPos\\Log"));
    EXPECT_EQ(documents_ + "\\Zelkortec\\JavaPos\\Log\\ZkPosDll.log", m_strLogFileName);
    EXPECT_EQ(documents_ + "\\Zelkortec\\JavaPos\\Log\\ZkLink.log", m_strComLogFileName);
}

TEST_F(LogPaths, ExistingFoldersAreUsedAsTheyAre) {
    std::string javaPos = documents_ + "\\Zelkortec\\JavaPos";
    std::filesystem::create_directories(javaPos);
    std::ofstream(javaPos + "\\keep.txt") << "kept";
    m_iTraceLevel = 1;
    InitLogPaths();
    InitLogPaths();
    EXPECT_EQ("kept", ReadFile(javaPos + "\\keep.txt"));
    EXPECT_TRUE(IsFolder(javaPos + "\\Log"));
    EXPECT_EQ(javaPos + "\\Log\\ZkPosDll.log", m_strLogFileName);
}

TEST_F(LogPaths, NegativeLevelPreparesThePathsButWritesNoLine) {
    m_iTraceLevel = -1;
    InitLogPaths();
    EXPECT_EQ(documents_ + "\\Zelkortec\\JavaPos\\Log\\ZkPosDll.log", m_strLogFileName);
    EXPECT_EQ(documents_ + "\\Zelkortec\\JavaPos\\Log\\ZkLink.log", m_strComLogFileName);
    PrintTrace(1, "Java_com_zelkor_jpos_services_WinPortComm_openDevice: START");
    EXPECT_FALSE(Exists(m_strLogFileName));
}

TEST_F(LogPaths, TracingOffAfterTracingOnEmptiesThePathsAgain) {
    m_iTraceLevel = 5;
    InitLogPaths();
    ASSERT_STRNE("", m_strLogFileName);
    m_iTraceLevel = 0;
    InitLogPaths();
    EXPECT_STREQ("", m_strLogFileName);
    EXPECT_STREQ("", m_strComLogFileName);
}

TEST_F(LogPaths, WithoutDocumentsFolderTheDriveRootIsUsedAndNothingCreated) {
    BuildLogPaths(nullptr);
    EXPECT_STREQ("c:\\ZkPosDll.log", m_strLogFileName);
    EXPECT_STREQ("c:\\ZkLink.log", m_strComLogFileName);
    EXPECT_FALSE(Exists("c:\\Zelkortec"));
    EXPECT_FALSE(Exists(documents_ + "\\Zelkortec"));
}

TEST_F(LogPaths, OverlongDocumentsFolderIsCutToThePathSize) {
    std::string deep = "c:\\" + std::string(300, 'd');
    BuildLogPaths(deep.c_str());
    EXPECT_EQ(size_t{ZKPOS_PATH_SIZE - 1}, strnlen(m_strLogFileName, ZKPOS_PATH_SIZE));
    EXPECT_EQ(size_t{ZKPOS_PATH_SIZE - 1}, strnlen(m_strComLogFileName, ZKPOS_PATH_SIZE));
    EXPECT_EQ(0, strncmp(m_strLogFileName, deep.c_str(), ZKPOS_PATH_SIZE - 1));
}

class TraceLines : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[MAX_PATH] = "";
        ASSERT_NE(0u, GetTempPathA(sizeof folder, folder));
        path_ = std::string(folder) + "ZkPosDllTraceTest.log";
        DeleteFileA(path_.c_str());
        snprintf(m_strLogFileName, sizeof m_strLogFileName, "%s", path_.c_str());
        m_iTraceLevel = 5;
    }
    void TearDown() override {
        m_iTraceLevel = 0;
        DeleteFileA(path_.c_str());
    }

    std::string path_;
};

TEST_F(TraceLines, LineIsTimeStampThenTextThenCrLf) {
    std::string before = LocalTimeText();
    PrintTrace(3, "Java_com_zelkor_jpos_services_WinPortComm_openDevice: DLL version %s", "3.05");
    std::string after = LocalTimeText();

    std::string content = ReadFile(path_);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(content, match,
                                 std::regex("\\[(\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2})\\]"
                                            "Java_com_zelkor_jpos_services_WinPortComm_openDevice: "
                                            "DLL version 3\\.05\r\n")))
        << content;
    // The stamp is the local time of the write.
    EXPECT_LE(before, match[1].str());
    EXPECT_GE(after, match[1].str());
}

TEST_F(TraceLines, LinesAreAppendedToWhatTheFileHolds) {
    std::ofstream(path_, std::ios::binary) << "earlier\r\n";
    PrintTrace(1, "first %d", 1);
    PrintTrace(2, "second %s", "two");
    std::string content = ReadFile(path_);
    EXPECT_TRUE(std::regex_match(
        content,
        std::regex("earlier\r\n\\[[^\\]]{19}\\]first 1\r\n\\[[^\\]]{19}\\]second two\r\n")))
        << content;
}

TEST_F(TraceLines, LineBreaksInTheTextAreWrittenUnchanged) {
    PrintTrace(1, "one\ntwo\r\nthree");
    std::string content = ReadFile(path_);
    ASSERT_GT(content.size(), 21u);
    EXPECT_EQ("one\ntwo\r\nthree\r\n", content.substr(21));
}

TEST_F(TraceLines, OverlongTextIsCutTo1023Characters) {
    std::string port(3000, 'p');
    PrintTrace(5, "Java_com_zelkor_jpos_services_WinPortComm_openDevice: portName = %s",
               port.c_str());
    std::string content = ReadFile(path_);
    ASSERT_EQ(21u + 1023u + 2u, content.size());
    EXPECT_EQ("pppp\r\n", content.substr(content.size() - 6));
}

TEST_F(TraceLines, LineIsLostWhileAnotherWriterHoldsTheFileAndWritingResumesAfter) {
    HANDLE holder = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    PrintTrace(1, "lost");
    CloseHandle(holder);
    PrintTrace(1, "kept");
    std::string content = ReadFile(path_);
    EXPECT_EQ(std::string::npos, content.find("lost")) << content;
    EXPECT_NE(std::string::npos, content.find("]kept\r\n")) << content;
}

TEST_F(TraceLines, NothingIsWrittenWhenTheFileCannotBeOpened) {
    snprintf(m_strLogFileName, sizeof m_strLogFileName, "%s", "c:\\no such folder\\ZkPosDll.log");
    PrintTrace(1, "nowhere");
    EXPECT_FALSE(Exists("c:\\no such folder"));
}

struct LevelCase {
    int traceLevel;
    int messageLevel;
    bool written;
};

class TraceLevelFilter : public TraceLines, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(TraceLevelFilter, WritesOnlyMessagesAtOrBelowTheTraceLevel) {
    m_iTraceLevel = GetParam().traceLevel;
    PrintTrace(GetParam().messageLevel, "message");
    if (GetParam().written) {
        EXPECT_NE(std::string::npos, ReadFile(path_).find("]message\r\n"));
    } else {
        // A filtered message does not even open the file.
        EXPECT_FALSE(Exists(path_));
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, TraceLevelFilter,
                         ::testing::Values(LevelCase{0, 1, false}, LevelCase{0, 5, false},
                                           LevelCase{1, 1, true}, LevelCase{1, 2, false},
                                           LevelCase{3, 1, true}, LevelCase{3, 3, true},
                                           LevelCase{3, 5, false}, LevelCase{5, 5, true},
                                           LevelCase{9, 5, true}, LevelCase{-1, 1, false},
                                           LevelCase{-3, 5, false}),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                             return "Trace" + LevelName(info.param.traceLevel) + "Message" +
                                    LevelName(info.param.messageLevel);
                         });
