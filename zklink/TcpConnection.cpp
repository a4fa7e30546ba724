// SPDX-License-Identifier: Apache-2.0
// The TCP transport: one non-blocking socket, connected within the write
// time-out, with Nagle's delay off for the short frames these devices
// exchange. Every wait is a select() bounded by what is left of a time-out.
#include "ZkLinkInternal.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

namespace {

const size_t kHostSize = 256;

char m_strHost[kHostSize] = "";
int m_iTcpPort = 0;
int m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
int m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
SOCKET m_socket = INVALID_SOCKET;
bool m_bWinsockStarted = false;

bool StartWinsock() {
    if (!m_bWinsockStarted) {
        WSADATA data;
        m_bWinsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    return m_bWinsockStarted;
}

// Waits until the socket is readable (or, with forWrite, writable) or has
// failed; false when the time ran out.
bool WaitSocket(bool forWrite, DWORD milliseconds) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(m_socket, &ready);
    FD_SET(m_socket, &failed);
    timeval wait;
    wait.tv_sec = static_cast<long>(milliseconds / 1000);
    wait.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
    int result = forWrite ? select(0, nullptr, &ready, &failed, &wait)
                          : select(0, &ready, nullptr, &failed, &wait);
    return result > 0;
}

void CloseSocket() {
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

// One connect attempt to one address; ZKLINK_OK leaves m_socket connected.
int ConnectTo(const addrinfo* address, const char* shown) {
    m_socket = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (m_socket == INVALID_SOCKET) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: socket failed: %s", shown,
                 SystemErrorText(WSAGetLastError()));
        return ZKLINK_E_IO;
    }
    u_long nonBlocking = 1;
    BOOL noDelay = TRUE;
    if (ioctlsocket(m_socket, FIONBIO, &nonBlocking) != 0 ||
        setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay) != 0) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: socket options failed: %s", shown,
                 SystemErrorText(WSAGetLastError()));
        CloseSocket();
        return ZKLINK_E_IO;
    }
    int error = 0;
    if (connect(m_socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            if (!WaitSocket(true, static_cast<DWORD>(m_iWriteMs))) {
                LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: no answer within %d ms", shown, m_iWriteMs);
                CloseSocket();
                return ZKLINK_E_TIMEOUT;
            }
            int length = sizeof error;
            error = 0;
            getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        }
    }
    if (error == 0) {
        return ZKLINK_OK;
    }
    CloseSocket();
    if (error == WSAECONNREFUSED) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: connection refused", shown);
        return ZKLINK_E_REFUSED;
    }
    if (error == WSAENETUNREACH || error == WSAEHOSTUNREACH) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: unreachable: %s", shown, SystemErrorText(error));
        return ZKLINK_E_UNREACHABLE;
    }
    if (error == WSAETIMEDOUT) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: connect timed out", shown);
        return ZKLINK_E_TIMEOUT;
    }
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: connect failed: %s", shown, SystemErrorText(error));
    return ZKLINK_E_IO;
}

void ShowAddress(const addrinfo* address, char* shown, size_t size) {
    char numeric[INET6_ADDRSTRLEN] = "?";
    getnameinfo(address->ai_addr, static_cast<int>(address->ai_addrlen), numeric, sizeof numeric,
                nullptr, 0, NI_NUMERICHOST);
    snprintf(shown, size, address->ai_family == AF_INET6 ? "[%s]:%d" : "%s:%d", numeric,
             m_iTcpPort);
}

}  // namespace

int TcpInit(const char* host, int port) {
    size_t length = host == nullptr ? 0 : strnlen(host, kHostSize);
    if (length == 0 || length >= kHostSize || port < 1 || port > 65535) {
        LayerLog(ZKLINK_LOG_ERRORS,
                 "InitEthTCP: the host must be 1 to %u characters and the "
                 "port 1 to 65535 (port %d)",
                 static_cast<unsigned>(kHostSize - 1), port);
        return ZKLINK_E_ARGUMENT;
    }
    memcpy(m_strHost, host, length + 1);
    m_iTcpPort = port;
    LayerLog(ZKLINK_LOG_STEPS, "InitEthTCP: %s port %d", m_strHost, port);
    return ZKLINK_OK;
}

int TcpSetTimeouts(int writeMs, int readMs) {
    if (!TimeoutsInRange("SetEthTimeout", writeMs, readMs)) {
        return ZKLINK_E_ARGUMENT;
    }
    m_iWriteMs = writeMs;
    m_iReadMs = readMs;
    LayerLog(ZKLINK_LOG_STEPS, "SetEthTimeout: write %d ms, read %d ms", writeMs, readMs);
    return ZKLINK_OK;
}

bool TcpIsSetUp() {
    return m_strHost[0] != '\0';
}

int TcpOpen() {
    if (!StartWinsock()) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: Winsock cannot start: %s",
                 SystemErrorText(WSAGetLastError()));
        return ZKLINK_E_IO;
    }
    char service[8];
    snprintf(service, sizeof service, "%d", m_iTcpPort);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    int error = getaddrinfo(m_strHost, service, &hints, &addresses);
    if (error != 0 || addresses == nullptr) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: the host name %s does not resolve: %s", m_strHost,
                 SystemErrorText(static_cast<DWORD>(error)));
        return ZKLINK_E_RESOLVE;
    }
    int result = ZKLINK_E_IO;
    char shown[INET6_ADDRSTRLEN + 16];
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        ShowAddress(address, shown, sizeof shown);
        result = ConnectTo(address, shown);
        if (result == ZKLINK_OK) {
            LayerLog(ZKLINK_LOG_STEPS, "Open: connected to %s (%s)", shown, m_strHost);
            break;
        }
    }
    freeaddrinfo(addresses);
    return result;
}

int TcpWrite(const unsigned char* data, int length) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(m_iWriteMs);
    int sent = 0;
    while (sent < length) {
        int result = send(m_socket, reinterpret_cast<const char*>(data) + sent, length - sent, 0);
        if (result > 0) {
            sent += result;
            continue;
        }
        int error = WSAGetLastError();
        if (result == SOCKET_ERROR && error != WSAEWOULDBLOCK) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: %d of %d bytes sent, then: %s", sent, length,
                     SystemErrorText(error));
            return ZKLINK_E_IO;
        }
        DWORD left = MillisecondsLeft(deadline);
        if (left == 0 || !WaitSocket(true, left)) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: only %d of %d bytes sent within %d ms", sent,
                     length, m_iWriteMs);
            return ZKLINK_E_TIMEOUT;
        }
    }
    return ZKLINK_OK;
}

// Receives first and waits only when nothing is there: a wait costs more
// than a receive that finds the socket empty.
int TcpRead(unsigned char* buffer, int capacity, int* count) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(m_iReadMs);
    for (;;) {
        int result = recv(m_socket, reinterpret_cast<char*>(buffer), capacity, 0);
        if (result > 0) {
            *count = result;
            return ZKLINK_OK;
        }
        if (result == 0) {
            LayerLog(ZKLINK_LOG_ERRORS, "Read: the device closed the connection");
            return ZKLINK_E_CLOSED;
        }
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            LayerLog(ZKLINK_LOG_ERRORS, "Read: %s", SystemErrorText(error));
            return error == WSAECONNRESET ? ZKLINK_E_CLOSED : ZKLINK_E_IO;
        }
        DWORD left = MillisecondsLeft(deadline);
        if (left == 0 || !WaitSocket(false, left)) {
            return ZKLINK_OK;
        }
    }
}

void TcpClose() {
    CloseSocket();
}

void TcpForget() {
    CloseSocket();
    m_strHost[0] = '\0';
    m_iTcpPort = 0;
    m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
    m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
}
