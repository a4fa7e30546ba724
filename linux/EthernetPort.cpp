// SPDX-License-Identifier: Apache-2.0
// The Ethernet transport: a TCP connection to port 9100 of the device, a
// connect bounded by the write time-out, then one system call per write and
// per read on a blocking socket that carries the time-outs itself.
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <cstring>
#include <sys/socket.h>
#include <ctime>
#include <unistd.h>

#include "ZkPosSo.h"

namespace {

const unsigned short kDevicePort = 9100;

// Every failure of the open ends the same way: the reason at level 1, the
// socket closed and no port.
int FailOpen(int fd, const char* reason) {
    Trace("OpenEthernetPort", 1, "%s", reason);
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

void PutTimeouts(int fd) {
    struct timeval sendTimeout = {static_cast<time_t>(m_lWriteTimeout), 0};
    struct timeval receiveTimeout = {static_cast<time_t>(m_lReadTimeout), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout);
}

// Waits for a connect in progress to end, at most the write time-out,
// signals or not. poll rather than select, since the socket may be numbered
// above FD_SETSIZE.
int WaitConnected(int fd) {
    return PollFor(fd, POLLOUT, m_lWriteTimeout);
}

// The device's IPv4 address. A dotted address needs no look-up. A name is
// looked up on a resolver thread of the C library, waited for at most the
// write time-out, which bounds the connect as well: a name server that never
// answers must not hold the open longer than an unreachable device would.
// A write time-out of 0 (no limit on the socket) leaves the look-up unbounded.
bool ResolveHost(const char* host, struct in_addr* address) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0) {
        hints.ai_flags = 0;
        long seconds = m_lWriteTimeout > 0 ? m_lWriteTimeout : 0;
        Deadline deadline = seconds > 0 ? DeadlineAfter(WaitStart(), seconds, 0) : NoDeadline();
        found = LookUpHost(host, hints, deadline);
    }
    if (found == nullptr) {
        return false;
    }
    bool resolved = false;
    for (struct addrinfo* entry = found; entry != nullptr && !resolved; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET &&
            entry->ai_addrlen >= static_cast<socklen_t>(sizeof(struct sockaddr_in))) {
            *address = reinterpret_cast<struct sockaddr_in*>(entry->ai_addr)->sin_addr;
            resolved = true;
        }
    }
    freeaddrinfo(found);
    return resolved;
}

// The end of a socket call's time-out (SO_SNDTIMEO or SO_RCVTIMEO) counted
// from the call's start; a time-out of 0 is none, as for the socket itself.
Deadline SocketDeadline(int fd, int option, const struct timespec& start) {
    struct timeval timeout = {0, 0};
    socklen_t length = sizeof timeout;
    if (getsockopt(fd, SOL_SOCKET, option, &timeout, &length) != 0 ||
        (timeout.tv_sec == 0 && timeout.tv_usec == 0)) {
        return NoDeadline();
    }
    return DeadlineAfter(start, static_cast<long>(timeout.tv_sec),
                         static_cast<long>(timeout.tv_usec));
}

// One send of the whole block on the blocking socket, bounded by its send
// time-out. A signal makes send return early, with part of the block sent or
// none (even under SA_RESTART, since the socket has a time-out); the rest then
// goes out as room comes, within what is left of the time-out. A short count
// once the time-out has passed is the answer, as it is without signals.
// MSG_NOSIGNAL: a device that has hung up must cost a failed write, not a
// SIGPIPE that ends the host process.
int SendBlock(int fd, int wake, const unsigned char* bytes, size_t count) {
    struct timespec start = WaitStart();
    ssize_t sent = send(fd, bytes, count, MSG_NOSIGNAL);
    if (sent < 0 ? errno != EINTR : static_cast<size_t>(sent) == count) {
        return static_cast<int>(sent);
    }
    Deadline deadline = SocketDeadline(fd, SO_SNDTIMEO, start);
    size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
    int failure = EAGAIN;  // what the socket reports when its send time-out passes
    while (done < count && !DeadlinePassed(deadline)) {
        int ready = PollUntil(fd, POLLOUT, deadline, wake);
        if (ready <= 0) {
            failure = ready < 0 ? errno : failure;
            break;
        }
        ssize_t more = send(fd, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (more < 0 && errno != EAGAIN && errno != EINTR) {
            failure = errno;
            break;
        }
        done += more > 0 ? static_cast<size_t>(more) : 0;
    }
    if (done == 0) {
        errno = failure;
        return -1;
    }
    return static_cast<int>(done);
}

// One receive on the blocking socket, bounded by its receive time-out. A
// signal ends recv with EINTR (even under SA_RESTART); the wait then goes on
// for what is left of the time-out and takes what came without blocking again.
int ReceiveBlock(int fd, int wake, char* block) {
    struct timespec start = WaitStart();
    ssize_t received = recv(fd, block, ZKPOS_READ_BLOCK_SIZE, 0);
    if (received >= 0 || errno != EINTR) {
        return static_cast<int>(received);
    }
    Deadline deadline = SocketDeadline(fd, SO_RCVTIMEO, start);
    for (;;) {
        int ready = PollUntil(fd, POLLIN, deadline, wake);
        if (ready <= 0) {
            if (ready == 0) {
                errno = EAGAIN;  // what the socket reports when its time-out passes
            }
            return -1;
        }
        received = recv(fd, block, ZKPOS_READ_BLOCK_SIZE, MSG_DONTWAIT);
        if (received >= 0 || (errno != EAGAIN && errno != EINTR)) {
            return static_cast<int>(received);
        }
    }
}

}  // namespace

int OpenEthernetPort(const char* host) {
    host = host != nullptr ? host : "";
    Trace("OpenEthernetPort", 3, "Port Name %s", host);
    Trace("OpenEthernetPort", 5, "Begin");

    // The new socket takes m_iFD's place; a port still there is forgotten.
    EndPort(false);
    // Close-on-exec: a child the host starts must not keep the device's one
    // connection after closeDevice.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailOpen(fd, "Error to create new socket");
    }

    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    if (!ResolveHost(host, &address.sin_addr)) {
        return FailOpen(fd, "Wrong hostname");
    }
    address.sin_port = htons(kDevicePort);

    // Non-blocking only for the connect, so that its wait is bounded by the
    // write time-out instead of the system's own connect time-out.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return FailOpen(fd, "Error fcntl(..., F_GETFL)");
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return FailOpen(fd, "Error fcntl(..., F_SETFL)");
    }
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0) {
        // A signal does not stop a connect in progress: it goes on as after
        // EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            return FailOpen(fd, "Error to connect socket");
        }
        Trace("OpenEthernetPort", 3, "EINPROGRESS in connect() - selecting");
        if (WaitConnected(fd) <= 0) {
            return FailOpen(fd, "Timeout or error()");
        }
        int pending = 0;
        socklen_t pendingLength = sizeof pending;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &pendingLength);
        if (pending != 0) {
            return FailOpen(fd, "Error in connection()");
        }
    }

    flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return FailOpen(fd, "Error fcntl(..., F_GETFL)");
    }
    if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return FailOpen(fd, "Error fcntl(..., F_SETFL)");
    }
    PutTimeouts(fd);
    AdoptPort(fd, true);
    Trace("OpenEthernetPort", 5, "End");
    return 0;
}

void SetEthernetTimeout(void) {
    PortCall port;
    PutTimeouts(port.Fd());
}

int WriteToEthernetPort(unsigned char* bytes, int count) {
    int result = -1;
    Trace("WriteToEthernetPort", 5, "Begin");
    TraceData("WriteToEthernetPort", "strToSend (", bytes, count, ")");

    if (count >= 0) {
        PortCall port;
        result = SendBlock(port.Fd(), port.Wake(), bytes, static_cast<size_t>(count));
        // A close on another thread shuts the socket down, which ends the send
        // with what went out before; that is a failed write all the same.
        if (port.Ended()) {
            result = -1;
        }
    }
    Trace("WriteToEthernetPort", 5, "End");
    return result;
}

int ReadFromEthernetPort(char* block) {
    int result = -1;
    Trace("ReadFromEthernetPort", 5, "Begin");

    {
        PortCall port;
        result = ReceiveBlock(port.Fd(), port.Wake(), block);
        // The shut-down socket reads as a device that hung up; the caller
        // closed it, so the read failed.
        if (port.Ended()) {
            result = -1;
        }
    }

    TraceData("ReadFromEthernetPort", "strRead (", block, result, ")");
    Trace("ReadFromEthernetPort", 5, "End");
    return result;
}
