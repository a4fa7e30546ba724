// SPDX-License-Identifier: Apache-2.0
// PrintLog with any text, module and function names, any level, both file
// modes and the date prefix on and off, writing to a scratch file. The line
// that reaches the file is checked against what the text must render to.
//
// Input: level, flags (bit 0 text mode, bit 1 date prefix, bit 2 debug off,
// bits 3-5 verbosity), module length, function length, then the module,
// function and text bytes.
#include <cstdio>
#include <cstring>

#include <string>

#include "FuzzSupport.h"
#include "ZkPosSo.h"

using zkpos_fuzz::Require;

namespace {

const size_t kRenderedLimit = 1023;  // the rendering buffer less its terminator
const size_t kLongestPiece = 6;      // "|0x1f|"

bool IsDigits(const std::string& text, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// "[yyyy-mm-dd hh:mm:ss.mmm] ": the length of the prefix, or 0 when the line
// does not start with one.
size_t DatePrefixLength(const std::string& line) {
    const char* shape = "[dddd-dd-dd dd:dd:dd.ddd] ";
    size_t length = strlen(shape);
    if (line.size() < length) {
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        if (shape[i] == 'd' ? !IsDigits(line, i, 1) : line[i] != shape[i]) {
            return 0;
        }
    }
    return length;
}

void CheckLine(const std::string& line, bool printDate, const char* module, const char* function,
               const char* text) {
    size_t start = 0;
    if (printDate) {
        start = DatePrefixLength(line);
        Require(start > 0, "a dated line starts with [yyyy-mm-dd hh:mm:ss.mmm]");
    }
    std::string head = std::string(module) + "::" + function + " --> ";
    Require(line.compare(start, head.size(), head) == 0,
            "the line names module and function as module::function --> ");
    Require(!line.empty() && line.back() == '\n', "the line ends with a line feed");

    std::string rendered = line.substr(start + head.size(), line.size() - start - head.size() - 1);
    std::string full = zkpos_fuzz::RenderedTrace(text);
    Require(rendered.size() <= kRenderedLimit, "the rendered text fits its 1024-byte buffer");
    Require(full.compare(0, rendered.size(), rendered) == 0,
            "the rendered text is the start of the text's rendering");
    Require(rendered.size() == full.size() || rendered.size() + kLongestPiece > kRenderedLimit,
            "a rendering is cut only where the buffer is full");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    int level = static_cast<int>(data[0] % 9) - 1;  // -1 to 7: both sides of 1..5
    bool textMode = (data[1] & 1) != 0;
    short printDate = (data[1] & 2) != 0 ? 1 : 0;
    bool debug = (data[1] & 4) == 0;
    int verbosity = ((data[1] >> 3) & 7) % 6;
    size_t rest = size - 4;
    size_t moduleLength = data[2] % 64 < rest ? data[2] % 64 : rest;
    rest -= moduleLength;
    size_t functionLength = data[3] % 64 < rest ? data[3] % 64 : rest;
    rest -= functionLength;
    const uint8_t* bytes = data + 4;
    auto module = zkpos_fuzz::Terminated(bytes, moduleLength);
    auto function = zkpos_fuzz::Terminated(bytes + moduleLength, functionLength);
    auto text = zkpos_fuzz::Terminated(bytes + moduleLength + functionLength, rest);

    // Descriptor mode writes only to a file that already exists, text mode
    // appends; emptying the file first makes the line the whole content.
    std::string path = zkpos_fuzz::ScratchDirectory() + (textMode ? "/trace.txt" : "/trace.bin");
    zkpos_fuzz::EmptyFile(path);
    m_bDebug = true;
    Require(InitLog(path.c_str(), verbosity, printDate) == LOG_OK, "InitLog accepts the file");
    Require(m_bTxt == (textMode ? 1 : 0), "the extension chooses the mode");
    m_bDebug = debug;

    int status = PrintLog(module.get(), function.get(), text.get(), level);

    Require(m_TextFile == nullptr && m_iStreamOut == -1, "no log handle stays open");
    std::string content = zkpos_fuzz::ReadFile(path);
    if (!debug) {
        Require(status == LOG_OK && content.empty(), "debug off writes nothing and answers 0");
    } else if (level < 1 || level > 5) {
        Require(status == LOG_BAD_LEVEL && content.empty(), "a level outside 1..5 is 2906");
    } else if (verbosity == 0 || level > verbosity) {
        Require(status == LOG_NOT_WRITTEN && content.empty(), "a filtered level is 2901");
    } else {
        Require(status == LOG_OK, "a line within the verbosity is written");
        CheckLine(content, printDate != 0, module.get(), function.get(), text.get());
    }
    return 0;
}
