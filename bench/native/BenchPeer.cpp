// SPDX-License-Identifier: Apache-2.0
// The far end of every benchmark: a TCP device on 127.0.0.1:9100 and a serial
// device behind a pseudo-terminal, both served by one poll loop so that every
// variant under test meets exactly the same peer.
//
// Prints the path of the pseudo-terminal's device side on its first line, then
// serves until its standard input closes; the benchmark holds that pipe, so the
// peer never outlives it.
//
// A TCP connection names its service in its first five bytes, a letter and a
// 32-bit little-endian unit:
//   'E'  echoes every byte back;
//   'D'  drains, answering one byte 'A' after every unit bytes received;
//   'S'  sources, answering every byte received with unit bytes.
// On the pseudo-terminal a request byte 'a' is answered with a 5-byte reply
// and 'b' with a 200-byte reply, each in one write as a device would send it.
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const unsigned short kDevicePort = 9100;
const size_t kHeaderSize = 5;
const size_t kShortReply = 5;
const size_t kLongReply = 200;

// Source data: printable and never zero, like device text.
char g_pattern[64 * 1024];

struct Connection {
    int fd = -1;
    unsigned char header[kHeaderSize] = {};
    size_t headerUsed = 0;
    char mode = 0;
    uint32_t unit = 0;
    uint64_t drained = 0;
    std::vector<char> pending;  // echo and acknowledgement bytes not yet sent
    uint64_t sourceOwed = 0;    // source bytes not yet sent
};

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int Listen() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(kDevicePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 || !SetNonBlocking(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The device side keeps the terminal side open itself and raw, so that the
// line behaves the same before, between and after the openers under test.
int OpenTerminal(int* terminalSide) {
    int device = posix_openpt(O_RDWR | O_NOCTTY);
    if (device < 0 || grantpt(device) != 0 || unlockpt(device) != 0) {
        return -1;
    }
    const char* path = ptsname(device);
    if (path == nullptr) {
        return -1;
    }
    *terminalSide = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (*terminalSide < 0) {
        return -1;
    }
    struct termios settings;
    tcgetattr(*terminalSide, &settings);
    cfmakeraw(&settings);
    tcsetattr(*terminalSide, TCSANOW, &settings);
    if (!SetNonBlocking(device)) {
        return -1;
    }
    printf("%s\n", path);
    fflush(stdout);
    return device;
}

// Sends what the connection owes; false when the connection is gone.
bool Flush(Connection& connection) {
    while (!connection.pending.empty()) {
        ssize_t sent =
            send(connection.fd, connection.pending.data(), connection.pending.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        connection.pending.erase(connection.pending.begin(), connection.pending.begin() + sent);
    }
    while (connection.sourceOwed > 0) {
        size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(connection.sourceOwed, sizeof g_pattern));
        ssize_t sent = send(connection.fd, g_pattern, chunk, MSG_NOSIGNAL);
        if (sent < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        connection.sourceOwed -= static_cast<uint64_t>(sent);
    }
    return true;
}

void Serve(Connection& connection, const char* bytes, size_t length) {
    size_t used = 0;
    while (connection.mode == 0 && used < length) {
        connection.header[connection.headerUsed++] = static_cast<unsigned char>(bytes[used++]);
        if (connection.headerUsed == kHeaderSize) {
            connection.mode = static_cast<char>(connection.header[0]);
            connection.unit = static_cast<uint32_t>(connection.header[1]) |
                              static_cast<uint32_t>(connection.header[2]) << 8 |
                              static_cast<uint32_t>(connection.header[3]) << 16 |
                              static_cast<uint32_t>(connection.header[4]) << 24;
        }
    }
    size_t rest = length - used;
    if (rest == 0) {
        return;
    }
    if (connection.mode == 'E') {
        connection.pending.insert(connection.pending.end(), bytes + used, bytes + length);
    } else if (connection.mode == 'D' && connection.unit > 0) {
        connection.drained += rest;
        while (connection.drained >= connection.unit) {
            connection.drained -= connection.unit;
            connection.pending.push_back('A');
        }
    } else if (connection.mode == 'S') {
        connection.sourceOwed += static_cast<uint64_t>(rest) * connection.unit;
    }
}

void AnswerTerminal(int device) {
    static const char kShort[kShortReply + 1] = "OK:00";
    static char longReply[kLongReply];
    for (size_t i = 0; i < kLongReply; ++i) {
        longReply[i] = static_cast<char>('A' + i % 26);
    }
    char requests[256];
    ssize_t count = read(device, requests, sizeof requests);
    for (ssize_t i = 0; i < count; ++i) {
        const char* reply = requests[i] == 'b' ? longReply : kShort;
        size_t length = requests[i] == 'b' ? kLongReply : kShortReply;
        if (requests[i] != 'a' && requests[i] != 'b') {
            continue;
        }
        // A request waits for the device; a reply the line cannot take now is
        // retried briefly rather than lost.
        size_t written = 0;
        for (int attempt = 0; written < length && attempt < 1000; ++attempt) {
            ssize_t n = write(device, reply + written, length - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            } else {
                usleep(100);
            }
        }
    }
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    for (size_t i = 0; i < sizeof g_pattern; ++i) {
        g_pattern[i] = static_cast<char>('a' + i % 26);
    }
    int listener = Listen();
    if (listener < 0) {
        perror("bench peer: cannot listen on 127.0.0.1:9100");
        return 1;
    }
    int terminalSide = -1;
    int device = OpenTerminal(&terminalSide);
    if (device < 0) {
        perror("bench peer: cannot open a pseudo-terminal");
        return 1;
    }

    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        std::vector<struct pollfd> watched;
        watched.push_back({STDIN_FILENO, POLLIN, 0});
        watched.push_back({listener, POLLIN, 0});
        watched.push_back({device, POLLIN, 0});
        for (auto& connection : connections) {
            short events = POLLIN;
            if (!connection->pending.empty() || connection->sourceOwed > 0) {
                events |= POLLOUT;
            }
            watched.push_back({connection->fd, events, 0});
        }
        // The benchmark closing our input is the only way to stop; the time-out
        // only keeps a lost parent from leaving us waiting for ever.
        int ready = poll(watched.data(), watched.size(), 600000);
        if (ready == 0 || watched[0].revents != 0) {
            break;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (watched[1].revents & POLLIN) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0 && SetNonBlocking(fd)) {
                // Echoes and acknowledgement bytes are answers: they go out
                // at once rather than wait to fill a segment.
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                auto connection = std::make_unique<Connection>();
                connection->fd = fd;
                connections.push_back(std::move(connection));
            }
        }
        if (watched[2].revents & POLLIN) {
            AnswerTerminal(device);
        }
        for (size_t i = 3; i < watched.size(); ++i) {
            Connection& connection = *connections[i - 3];
            bool alive = true;
            if (watched[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t count = recv(connection.fd, buffer.data(), buffer.size(), 0);
                // Acknowledge at once, every time: a delayed acknowledgement
                // holds back the sender's next small segment (Nagle) for tens
                // of milliseconds, and the bulk rows would time that stall
                // instead of the writes. The kernel drops this mode again on
                // its own, hence after every receive.
                int on = 1;
                setsockopt(connection.fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
                if (count > 0) {
                    Serve(connection, buffer.data(), static_cast<size_t>(count));
                } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                    alive = false;
                }
            }
            if (alive) {
                alive = Flush(connection);
            }
            if (!alive) {
                close(connection.fd);
                connection.fd = -1;
            }
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const auto& c) { return c->fd < 0; }),
                          connections.end());
    }
    close(terminalSide);
    close(device);
    close(listener);
    return 0;
}
