// SPDX-License-Identifier: Apache-2.0
#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DeviceIo.h"

namespace zkpos_test {

namespace {

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
    stopping_ = true;
    int echoConnection = echoConnection_.exchange(-1);
    if (echoConnection >= 0) {
        // Wakes the echoing device from its read; it closes the socket.
        shutdown(echoConnection, SHUT_RDWR);
    }
    if (echo_.joinable()) {
        echo_.join();
    }
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
    return SendBytes(connection_, bytes, 5000);
}

std::string LoopbackPeer::Receive(size_t count, int timeoutMs) {
    return ReceiveBytes(connection_, count, timeoutMs);
}

void LoopbackPeer::CloseConnection() {
    if (connection_ >= 0) {
        close(connection_);
        connection_ = -1;
    }
}

void LoopbackPeer::ResetConnection() {
    if (connection_ >= 0) {
        struct linger reset = {1, 0};
        setsockopt(connection_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    CloseConnection();
}

void LoopbackPeer::ShutdownOutput() {
    if (connection_ >= 0) {
        shutdown(connection_, SHUT_WR);
    }
}

void LoopbackPeer::Echo() {
    if (echo_.joinable()) {
        echo_.join();
    }
    echo_ = std::thread([this] {
        struct pollfd wait = {listener_, POLLIN, 0};
        long deadline = NowMs() + 10000;
        while (!stopping_ && poll(&wait, 1, 100) == 0 && NowMs() < deadline) {
        }
        if (stopping_ || (wait.revents & POLLIN) == 0) {
            return;
        }
        int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0) {
            return;
        }
        echoConnection_ = connection;
        char chunk[8192];
        ssize_t n;
        while (!stopping_ && (n = recv(connection, chunk, sizeof chunk, 0)) > 0) {
            echoed_ += n;
            if (!SendBytes(connection, std::string(chunk, static_cast<size_t>(n)), 10000)) {
                break;
            }
        }
        echoConnection_ = -1;
        close(connection);
    });
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
