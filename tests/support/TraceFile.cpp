// SPDX-License-Identifier: Apache-2.0
#include "TraceFile.h"

#include <ftw.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "ZkPosSo.h"

namespace zkpos_test {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zkpos-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) {
        path_ = name.data();
    }
}

TemporaryDirectory::~TemporaryDirectory() {
    if (!path_.empty()) {
        nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(path));
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool HasDatePrefix(const std::string& line) {
    static const std::regex prefix(
        R"(^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\] )");
    return std::regex_search(line, prefix);
}

std::string WithoutDatePrefix(const std::string& line) {
    // "[YYYY-MM-DD hh:mm:ss.mmm] " is 26 characters.
    return HasDatePrefix(line) ? line.substr(26) : line;
}

int TraceInto(const std::string& path, int verbosity) {
    m_bDebug = true;
    return InitLog(path.c_str(), verbosity, 0);
}

void TraceOff() {
    StopLog();
    m_bDebug = false;
}

}  // namespace zkpos_test
