// SPDX-License-Identifier: Apache-2.0
// A TCP read of any device data, traced at level 5: the 1024-byte block the
// read fills carries no terminator of its own when the device filled it, so
// the "strRead" line must stop at the data's end, its first zero byte or the
// room its closing bracket leaves in the trace buffer, whichever comes first. The device is one end
// of a socket pair; the library reads the other.
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "ZkPosSo.h"

using zkpos_fuzz::Require;

namespace {

int device = -1;
int port = -1;

void MakePair() {
    if (port >= 0) {
        return;
    }
    int pair[2];
    Require(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "a socket pair can be made");
    port = pair[0];
    device = pair[1];
}

std::string TraceLine(const std::string& text) {
    return "ZkPosSo::ReadFromEthernetPort --> " + zkpos_fuzz::RenderedTrace(text) + "\n";
}

// Whatever the read left in the queue, so that the next run starts empty.
void Drain() {
    char rest[4096];
    while (recv(port, rest, sizeof rest, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An empty queue would make the blocking read wait; the device always
    // sends something.
    if (size == 0 || size > 4096) {
        return 0;
    }
    MakePair();
    Require(write(device, data, size) == static_cast<ssize_t>(size), "the device sends");
    std::string path = zkpos_fuzz::ScratchDirectory() + "/read.txt";
    zkpos_fuzz::EmptyFile(path);
    m_bDebug = true;
    Require(InitLog(path.c_str(), 5, 0) == LOG_OK, "InitLog accepts the file");
    m_iFD = port;
    // Exactly the block readData hands over, cleared as readData clears it.
    std::unique_ptr<char[]> block(new char[ZKPOS_READ_BLOCK_SIZE]);
    memset(block.get(), 0, ZKPOS_READ_BLOCK_SIZE);

    int count = ReadFromEthernetPort(block.get());
    Drain();
    m_iFD = -1;

    size_t most = size < ZKPOS_READ_BLOCK_SIZE ? size : ZKPOS_READ_BLOCK_SIZE;
    Require(count >= 1 && static_cast<size_t>(count) <= most, "the read takes 1 to 1024 bytes");
    Require(memcmp(block.get(), data, static_cast<size_t>(count)) == 0,
            "the block holds the bytes as sent");
    std::string shown(block.get(), strnlen(block.get(), static_cast<size_t>(count)));
    // The data gives way to the line's head and its closing bracket.
    std::string head = "strRead (";
    std::string text = head + shown.substr(0, ZKPOS_SO_TRACE_TEXT_SIZE - 1 - head.size() - 1) + ")";
    Require(zkpos_fuzz::ReadFile(path) == TraceLine("Begin") + TraceLine(text) + TraceLine("End"),
            "the read traces Begin, the data up to its first zero cut to keep its bracket, End");
    return 0;
}
