// SPDX-License-Identifier: Apache-2.0
// Reading the DLL's trace log as its lines: each a time stamp
// "[yyyy/mm/dd hh:mm:ss]" directly followed by the text, ended by CR LF.
// Shared by the end-to-end and the fault suites.
#ifndef ZKPOS_TESTS_SUPPORT_WINDOWS_TRACELINES_H
#define ZKPOS_TESTS_SUPPORT_WINDOWS_TRACELINES_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The width of "[yyyy/mm/dd hh:mm:ss]".
constexpr size_t kTimeStampLength = 21;

// The file's bytes as they are; empty when it cannot be read.
inline std::string ReadLogFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The lines of a log's content, each without its CR LF; bytes after the last
// CR LF are no line.
inline std::vector<std::string> SplitTraceLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(content.substr(start, end - start));
    }
    return lines;
}

inline bool HasTimeStamp(const std::string& line) {
    return line.size() >= kTimeStampLength && line[0] == '[' && line[kTimeStampLength - 1] == ']';
}

// The texts of the log file's lines, without their time stamps; a line without
// one shows as "(no time stamp) " and the line, so that a test names it.
inline std::vector<std::string> ReadTraceTexts(const std::string& path) {
    std::vector<std::string> texts;
    for (const std::string& line : SplitTraceLines(ReadLogFile(path))) {
        texts.push_back(HasTimeStamp(line) ? line.substr(kTimeStampLength)
                                           : "(no time stamp) " + line);
    }
    return texts;
}

#endif
