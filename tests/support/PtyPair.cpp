// SPDX-License-Identifier: Apache-2.0
#include "PtyPair.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "DeviceIo.h"

namespace zkpos_test {

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error_ = std::string("posix_openpt: ") + strerror(errno);
        return;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = std::string("grantpt/unlockpt: ") + strerror(errno);
        return;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        error_ = std::string("ptsname: ") + strerror(errno);
        return;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) {
        error_ = "open " + slavePath_ + ": " + strerror(errno);
        return;
    }
    // Raw until the library sets the line up: nothing echoed or translated.
    struct termios raw;
    if (tcgetattr(slave_, &raw) != 0) {
        error_ = std::string("tcgetattr: ") + strerror(errno);
        return;
    }
    cfmakeraw(&raw);
    if (tcsetattr(slave_, TCSANOW, &raw) != 0) {
        error_ = std::string("tcsetattr: ") + strerror(errno);
        return;
    }
    int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    HangUp();
}

void PtyPair::HangUp() {
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

bool PtyPair::Send(const std::string& bytes) {
    return SendBytes(master_, bytes, 5000);
}

size_t PtyPair::Queued() const {
    int waiting = 0;
    if (ioctl(slave_, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return static_cast<size_t>(waiting);
}

bool PtyPair::WaitQueued(size_t count, int timeoutMs) const {
    long deadline = NowMs() + timeoutMs;
    while (Queued() < count) {
        if (NowMs() > deadline) {
            return false;
        }
        usleep(1000);
    }
    return true;
}

std::string PtyPair::Receive(size_t count, int timeoutMs) {
    return ReceiveBytes(master_, count, timeoutMs);
}

}  // namespace zkpos_test
