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
int FailOpen(const char* reason) {
    Trace("OpenEthernetPort", 1, "%s", reason);
    if (m_iFD >= 0) {
        close(m_iFD);
    }
    m_iFD = -1;
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
int SendBlock(int fd, const unsigned char* bytes, size_t count) {
    struct timespec start = WaitStart();
    ssize_t sent = send(fd, bytes, count, MSG_NOSIGNAL);
    if (sent < 0 ? errno != EINTR : static_cast<size_t>(sent) == count) {
        return static_cast<int>(sent);
    }
    Deadline deadline = SocketDeadline(fd, SO_SNDTIMEO, start);
    size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
    int failure = EAGAIN;  // what the socket reports when its send time-out passes
    while (done < count && !DeadlinePassed(deadline)) {
        int ready = PollUntil(fd, POLLOUT, deadline);
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
int ReceiveBlock(int fd, char* block) {
    struct timespec start = WaitStart();
    ssize_t received = recv(fd, block, ZKPOS_READ_BLOCK_SIZE, 0);
    if (received >= 0 || errno != EINTR) {
        return static_cast<int>(received);
    }
    Deadline deadline = SocketDeadline(fd, SO_RCVTIMEO, start);
    for (;;) {
        int ready = PollUntil(fd, POLLIN, deadline);
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

    m_iFD = socket(AF_INET, SOCK_STREAM, 0);
    if (m_iFD < 0) {
        return FailOpen("Error to create new socket");
    }

    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    struct hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        return FailOpen("Wrong hostname");
    }
    size_t addressLength = static_cast<size_t>(entry->h_length);
    if (addressLength > sizeof address.sin_addr) {
        addressLength = sizeof address.sin_addr;
    }
    memcpy(&address.sin_addr, entry->h_addr_list[0], addressLength);
    address.sin_port = htons(kDevicePort);

    // Non-blocking only for the connect, so that its wait is bounded by the
    // write time-out instead of the system's own connect time-out.
    int flags = fcntl(m_iFD, F_GETFL);
    if (flags < 0) {
        return FailOpen("Error fcntl(..., F_GETFL)");
    }
    if (fcntl(m_iFD, F_SETFL, flags | O_NONBLOCK) < 0) {
        return FailOpen("Error fcntl(..., F_SETFL)");
    }
    if (connect(m_iFD, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0) {
        // A signal does not stop a connect in progress: it goes on as after
        // EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            return FailOpen("Error to connect socket");
        }
        Trace("OpenEthernetPort", 3, "EINPROGRESS in connect() - selecting");
        if (WaitConnected(m_iFD) <= 0) {
            return FailOpen("Timeout or error()");
        }
        int pending = 0;
        socklen_t pendingLength = sizeof pending;
        getsockopt(m_iFD, SOL_SOCKET, SO_ERROR, &pending, &pendingLength);
        if (pending != 0) {
            return FailOpen("Error in connection()");
        }
    }

    flags = fcntl(m_iFD, F_GETFL);
    if (flags < 0) {
        return FailOpen("Error fcntl(..., F_GETFL)");
    }
    if (fcntl(m_iFD, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return FailOpen("Error fcntl(..., F_SETFL)");
    }
    PutTimeouts(m_iFD);
    Trace("OpenEthernetPort", 5, "End");
    return 0;
}

void SetEthernetTimeout(void) {
    PutTimeouts(m_iFD);
}

int WriteToEthernetPort(unsigned char* bytes, int count) {
    int result = -1;
    Trace("WriteToEthernetPort", 5, "Begin");
    TraceData("WriteToEthernetPort", "strToSend (", bytes, count, ")");

    if (count >= 0) {
        result = SendBlock(m_iFD, bytes, static_cast<size_t>(count));
    }
    Trace("WriteToEthernetPort", 5, "End");
    return result;
}

int ReadFromEthernetPort(char* block) {
    int result = -1;
    Trace("ReadFromEthernetPort", 5, "Begin");

    result = ReceiveBlock(m_iFD, block);

    TraceData("ReadFromEthernetPort", "strRead (", block, result, ")");
    Trace("ReadFromEthernetPort", 5, "End");
    return result;
}
