// SPDX-License-Identifier: Apache-2.0
// Trace files for the C++ suites: a temporary directory of the test's own,
// never /var/log, and the lines that the library wrote there.
#ifndef ZKPOS_TESTS_SUPPORT_TRACEFILE_H
#define ZKPOS_TESTS_SUPPORT_TRACEFILE_H

#include <string>
#include <vector>

namespace zkpos_test {

class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& Path() const { return path_; }
    // The path of a file named name inside the directory.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);

// The lines of a file, each without its line feed.
std::vector<std::string> ReadLines(const std::string& path);

// A line without its date prefix "[YYYY-MM-DD hh:mm:ss.mmm] "; the line is
// returned unchanged when it has no such prefix.
std::string WithoutDatePrefix(const std::string& line);
// True when the line starts with a date prefix in exactly that form.
bool HasDatePrefix(const std::string& line);

// Switches the library's trace log on into the given file, without the date
// prefix, at the given verbosity: the state that openDevice sets up for
// /var/log/ZkPosSoLog.txt, pointed elsewhere. Returns InitLog's status.
int TraceInto(const std::string& path, int verbosity);
// Switches the trace log off again and forgets its file.
void TraceOff();

}  // namespace zkpos_test

#endif
