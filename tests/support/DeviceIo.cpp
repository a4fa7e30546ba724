// SPDX-License-Identifier: Apache-2.0
#include "DeviceIo.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace zkpos_test {

long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

bool SendBytes(int fd, const std::string& bytes, int timeoutMs) {
    size_t sent = 0;
    long deadline = NowMs() + timeoutMs;
    while (sent < bytes.size()) {
        const char* data = bytes.data() + sent;
        size_t left = bytes.size() - sent;
        ssize_t n = send(fd, data, left, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            n = write(fd, data, left);
        }
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
        struct pollfd wait = {fd, POLLOUT, 0};
        poll(&wait, 1, 50);
    }
    return true;
}

std::string ReceiveBytes(int fd, size_t count, int timeoutMs) {
    std::string received;
    long deadline = NowMs() + timeoutMs;
    while (received.size() < count) {
        long left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        struct pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char chunk[4096];
        size_t wanted = count - received.size();
        ssize_t n = read(fd, chunk, wanted < sizeof chunk ? wanted : sizeof chunk);
        if (n > 0) {
            received.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return received;
}

}  // namespace zkpos_test
