// SPDX-License-Identifier: Apache-2.0
// ConvertPort with any port name, tracing at level 5 into a scratch file: the
// name is never written to, the path is the name itself or one of the four
// serial devices, and the "strPort" line shows it cut to the trace buffer.
#include <cstring>

#include <string>

#include "FuzzSupport.h"
#include "ZkPosSo.h"

using zkpos_fuzz::Require;

namespace {

const char* const kDevices[][2] = {
    {"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}, {"COM3", "/dev/ttyS2"}, {"COM4", "/dev/ttyS3"}};

std::string TraceLine(const std::string& text) {
    return "ZkPosSo::ConvertPort --> " + zkpos_fuzz::RenderedTrace(text) + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto name = zkpos_fuzz::Terminated(data, size);
    std::string before(name.get());
    std::string path = zkpos_fuzz::ScratchDirectory() + "/convert.txt";
    zkpos_fuzz::EmptyFile(path);
    m_bDebug = true;
    Require(InitLog(path.c_str(), 5, 0) == LOG_OK, "InitLog accepts the file");

    const char* converted = ConvertPort(name.get());

    Require(before == name.get(), "ConvertPort leaves the caller's name as it was");
    const char* expected = name.get();
    for (const auto& device : kDevices) {
        if (name.get()[0] != '/' && strstr(name.get(), device[0]) != nullptr) {
            expected = device[1];
            break;
        }
    }
    Require(converted == expected || (expected != name.get() && strcmp(converted, expected) == 0),
            "in a name not starting with /, the first of COM1..COM4 picks its device, else the "
            "name is kept");

    std::string shown =
        ("strPort " + std::string(converted)).substr(0, ZKPOS_SO_TRACE_TEXT_SIZE - 1);
    Require(zkpos_fuzz::ReadFile(path) == TraceLine("Begin") + TraceLine(shown) + TraceLine("End"),
            "ConvertPort traces Begin, strPort with the path cut to 127 bytes, End");
    Require(m_TextFile == nullptr && m_iStreamOut == -1, "no log handle stays open");
    return 0;
}
