// SPDX-License-Identifier: Apache-2.0
#include "PtyPair.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace zkpos_test {

namespace {

long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

}  // namespace

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
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

bool PtyPair::Send(const std::string& bytes) {
    size_t sent = 0;
    long deadline = NowMs() + 5000;
    while (sent < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (NowMs() > deadline) {
            return false;
        }
        struct pollfd wait = {master_, POLLOUT, 0};
        poll(&wait, 1, 50);
    }
    return true;
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
    std::string received;
    long deadline = NowMs() + timeoutMs;
    while (received.size() < count) {
        long left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        struct pollfd wait = {master_, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char chunk[4096];
        size_t wanted = count - received.size();
        ssize_t n = read(master_, chunk, wanted < sizeof(chunk) ? wanted : sizeof(chunk));
        if (n > 0) {
            received.append(chunk, static_cast<size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return received;
}

}  // namespace zkpos_test
