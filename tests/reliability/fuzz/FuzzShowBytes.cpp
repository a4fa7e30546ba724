// SPDX-License-Identifier: Apache-2.0
// ShowBytes with any device data and any text size, then the same data
// through a traced write: device data carries no terminator, so neither may
// read past its end or write past the text buffer.
//
// Input: two bytes of text size (0 to 511), then the data.
#include <cstring>

#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "ZkPosSo.h"

using zkpos_fuzz::Require;

namespace {

void CheckShown(const uint8_t* data, size_t length, size_t size) {
    // Exactly as large as asked for, so that a write past it is caught.
    std::unique_ptr<char[]> text(new char[size]);
    size_t shown = ShowBytes(text.get(), size, data, length);
    if (size == 0) {
        Require(shown == 0, "nothing is shown in a buffer of no bytes");
        return;
    }
    size_t room = length < size - 1 ? length : size - 1;
    Require(shown <= room, "no more is shown than the data and the buffer hold");
    Require(text[shown] == '\0', "the shown text is terminated");
    Require(memcmp(text.get(), data, shown) == 0, "the shown text is the data's start");
    Require(memchr(data, 0, shown) == nullptr, "the shown text stops at the first zero byte");
    Require(shown == room || data[shown] == 0, "the text stops only at a zero byte or at the end");
}

// With no port the write fails, but its trace line still shows the data.
void CheckTracedWrite(const uint8_t* data, size_t length) {
    std::string path = zkpos_fuzz::ScratchDirectory() + "/write.txt";
    zkpos_fuzz::EmptyFile(path);
    m_bDebug = true;
    Require(InitLog(path.c_str(), 2, 0) == LOG_OK, "InitLog accepts the file");
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[length > 0 ? length : 1]);
    if (length > 0) {
        memcpy(bytes.get(), data, length);
    }
    m_iFD = -1;

    int result = WriteToEthernetPort(bytes.get(), static_cast<int>(length));

    Require(result == -1, "a write without a port fails");
    std::string shown(reinterpret_cast<const char*>(data),
                      strnlen(reinterpret_cast<const char*>(data), length));
    // The data gives way to the line's head and its closing bracket.
    std::string head = "strToSend (";
    std::string text = head + shown.substr(0, ZKPOS_SO_TRACE_TEXT_SIZE - 1 - head.size() - 1) + ")";
    Require(zkpos_fuzz::ReadFile(path) ==
                "ZkPosSo::WriteToEthernetPort --> " + zkpos_fuzz::RenderedTrace(text) + "\n",
            "the write traces the data up to its first zero, cut to keep its closing bracket");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t textSize = (static_cast<size_t>(data[0]) << 8 | data[1]) % 512;
    size_t length = size - 2;
    // The data in a block of its own size: a read past it is caught.
    std::unique_ptr<uint8_t[]> block(new uint8_t[length > 0 ? length : 1]);
    if (length > 0) {
        memcpy(block.get(), data + 2, length);
    }
    CheckShown(block.get(), length, textSize);
    CheckTracedWrite(block.get(), length);
    return 0;
}
