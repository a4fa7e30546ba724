// SPDX-License-Identifier: Apache-2.0
#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace zkpos_test {

namespace {

long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

struct sockaddr_in DeviceAddress() {
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(kDevicePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

LoopbackPeer::LoopbackPeer(int backlog) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) {
        error_ = std::string("socket: ") + strerror(errno);
        return;
    }
    int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    struct sockaddr_in address = DeviceAddress();
    if (bind(listener_, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
        error_ = std::string("bind 127.0.0.1:9100: ") + strerror(errno);
        return;
    }
    if (listen(listener_, backlog) != 0) {
        error_ = std::string("listen: ") + strerror(errno);
    }
}

LoopbackPeer::~LoopbackPeer() {
    CloseConnection();
    for (int filler : fillers_) {
        close(filler);
    }
    if (listener_ >= 0) {
        close(listener_);
    }
}

bool LoopbackPeer::Accept(int timeoutMs) {
    struct pollfd wait = {listener_, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) <= 0) {
        return false;
    }
    CloseConnection();
    connection_ = accept(listener_, nullptr, nullptr);
    return connection_ >= 0;
}

bool LoopbackPeer::Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string LoopbackPeer::Receive(size_t count, int timeoutMs) {
    std::string received;
    long deadline = NowMs() + timeoutMs;
    while (received.size() < count) {
        long left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        struct pollfd wait = {connection_, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char chunk[4096];
        size_t wanted = count - received.size();
        ssize_t n = recv(connection_, chunk, wanted < sizeof(chunk) ? wanted : sizeof(chunk), 0);
        if (n <= 0) {
            break;
        }
        received.append(chunk, static_cast<size_t>(n));
    }
    return received;
}

void LoopbackPeer::CloseConnection() {
    if (connection_ >= 0) {
        close(connection_);
        connection_ = -1;
    }
}

bool LoopbackPeer::FillAcceptQueue() {
    struct sockaddr_in address = DeviceAddress();
    // The accept queue of a listener holds backlog + 1 connections; a few
    // dozen attempts are far more than any backlog this class is given.
    for (int attempt = 0; attempt < 64; ++attempt) {
        int filler = socket(AF_INET, SOCK_STREAM, 0);
        if (filler < 0) {
            return false;
        }
        fcntl(filler, F_SETFL, fcntl(filler, F_GETFL) | O_NONBLOCK);
        fillers_.push_back(filler);
        if (connect(filler, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
            continue;
        }
        if (errno != EINPROGRESS) {
            return false;
        }
        struct pollfd wait = {filler, POLLOUT, 0};
        if (poll(&wait, 1, 300) == 0) {
            // This SYN was dropped: the queue is full.
            return true;
        }
    }
    return false;
}

}  // namespace zkpos_test
