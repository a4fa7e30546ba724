// SPDX-License-Identifier: Apache-2.0
// The Ethernet transport: a TCP connection to port 9100 of the device, a
// connect bounded by the write time-out, then one system call per write and
// per read on a blocking socket that carries the time-outs itself.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
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

// Waits for a connect in progress to end, at most the write time-out. poll
// rather than select, since the socket may be numbered above FD_SETSIZE.
int WaitConnected(int fd) {
    struct pollfd watched = {fd, POLLOUT, 0};
    struct timespec timeout = {static_cast<time_t>(m_lWriteTimeout), 0};
    return ppoll(&watched, 1, &timeout, nullptr);
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
        if (errno != EINPROGRESS) {
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
    char shown[ZKPOS_TRACE_TEXT_SIZE];
    ShowBytes(shown, sizeof shown, bytes, count > 0 ? static_cast<size_t>(count) : 0);
    Trace("WriteToEthernetPort", 2, "strToSend (%s)", shown);

    // MSG_NOSIGNAL: a device that has hung up must cost a failed write, not a
    // SIGPIPE that ends the host process.
    if (count >= 0) {
        result = static_cast<int>(send(m_iFD, bytes, static_cast<size_t>(count), MSG_NOSIGNAL));
    }
    Trace("WriteToEthernetPort", 5, "End");
    return result;
}

int ReadFromEthernetPort(char* block) {
    int result = -1;
    Trace("ReadFromEthernetPort", 5, "Begin");

    result = static_cast<int>(recv(m_iFD, block, ZKPOS_READ_BLOCK_SIZE, 0));

    char shown[ZKPOS_TRACE_TEXT_SIZE];
    ShowBytes(shown, sizeof shown, block, result > 0 ? static_cast<size_t>(result) : 0);
    Trace("ReadFromEthernetPort", 2, "strRead (%s)", shown);
    Trace("ReadFromEthernetPort", 5, "End");
    return result;
}
