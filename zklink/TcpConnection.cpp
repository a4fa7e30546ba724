// SPDX-License-Identifier: Apache-2.0
// The TCP transport: one non-blocking socket, connected within the write
// time-out, with Nagle's delay off for the short frames these devices
// exchange. Every wait is a select() bounded by what is left of a time-out;
// a closing port shuts the socket down, which ends such a wait at once.
#include "ZkLinkInternal.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kHostSize = 256;

// The settings of a port; TcpForget gives a new port its defaults.
char m_strHost[kHostSize];
int m_iTcpPort;
// Set by the time-out entry while a Read or Write may be reading them.
volatile LONG m_iWriteMs;
volatile LONG m_iReadMs;
bool m_bWinsockStarted = false;

// Owns the connection's socket.
class ScopedSocket {
public:
    ScopedSocket() = default;
    ScopedSocket(const ScopedSocket&) = delete;
    ScopedSocket& operator=(const ScopedSocket&) = delete;
    ~ScopedSocket() { Reset(INVALID_SOCKET); }

    SOCKET Get() const { return m_socket; }
    void Reset(SOCKET socket) {
        if (m_socket != INVALID_SOCKET) {
            closesocket(m_socket);
        }
        m_socket = socket;
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
};

ScopedSocket m_socket;
// Guards m_socket's value against a Stop from another thread: Stop shuts
// the socket down, which must never meet a socket being closed or made.
SRWLOCK m_socketLock = SRWLOCK_INIT;

void SetSocket(SOCKET socket) {
    AcquireSRWLockExclusive(&m_socketLock);
    m_socket.Reset(socket);
    ReleaseSRWLockExclusive(&m_socketLock);
}

DWORD TimeoutOf(volatile LONG* milliseconds) {
    return static_cast<DWORD>(InterlockedCompareExchange(milliseconds, 0, 0));
}

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
    FD_SET(m_socket.Get(), &ready);
    FD_SET(m_socket.Get(), &failed);
    timeval wait;
    wait.tv_sec = static_cast<long>(milliseconds / 1000);
    wait.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
    int result = forWrite ? select(0, nullptr, &ready, &failed, &wait)
                          : select(0, &ready, nullptr, &failed, &wait);
    return result > 0;
}

void CloseSocket() {
    SetSocket(INVALID_SOCKET);
}

// The host name lookup, run on a thread of its own so that Open can give up
// on a name server that does not answer. The thread and Open share the
// lookup; whichever lets go of it last frees it.
struct Lookup {
    volatile LONG holders;
    char host[kHostSize];
    char service[8];
    int error;
    addrinfo* addresses;
};

void LetGoOf(Lookup* lookup) {
    if (InterlockedDecrement(&lookup->holders) == 0) {
        if (lookup->addresses != nullptr) {
            freeaddrinfo(lookup->addresses);
        }
        free(lookup);
    }
}

DWORD WINAPI RunLookup(void* argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup->error = getaddrinfo(lookup->host, lookup->service, &hints, &lookup->addresses);
    LetGoOf(lookup);
    return 0;
}

// Resolves m_strHost within milliseconds. ZKLINK_OK hands the addresses to
// the caller, who frees them with freeaddrinfo.
int Resolve(DWORD milliseconds, addrinfo** addresses) {
    Lookup* lookup = static_cast<Lookup*>(calloc(1, sizeof(Lookup)));
    if (lookup == nullptr) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: no memory for the lookup of %s", m_strHost);
        return ZKLINK_E_IO;
    }
    lookup->holders = 2;
    memcpy(lookup->host, m_strHost, sizeof lookup->host);
    snprintf(lookup->service, sizeof lookup->service, "%d", m_iTcpPort);
    ScopedObject thread(CreateThread(nullptr, 0, RunLookup, lookup, 0, nullptr));
    if (!thread.IsValid()) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: the lookup of %s cannot start: %s", m_strHost,
                 SystemErrorText(GetLastError()));
        free(lookup);
        return ZKLINK_E_IO;
    }
    if (WaitForSingleObject(thread.Get(), milliseconds) != WAIT_OBJECT_0) {
        // The lookup ends on its own and frees what it holds; its thread
        // runs code of this DLL, which the port DLL never unloads.
        LetGoOf(lookup);
        LayerLog(ZKLINK_LOG_ERRORS,
                 "Open: the host name %s: no answer from the name service within %lu ms", m_strHost,
                 static_cast<unsigned long>(milliseconds));
        return ZKLINK_E_TIMEOUT;
    }
    int error = lookup->error;
    *addresses = lookup->addresses;
    lookup->addresses = nullptr;
    LetGoOf(lookup);
    if (error != 0 || *addresses == nullptr) {
        if (*addresses != nullptr) {
            freeaddrinfo(*addresses);
        }
        LayerLog(ZKLINK_LOG_ERRORS, "Open: the host name %s does not resolve: %s", m_strHost,
                 SystemErrorText(static_cast<DWORD>(error)));
        return ZKLINK_E_RESOLVE;
    }
    return ZKLINK_OK;
}

// One connect attempt to one address; ZKLINK_OK leaves m_socket connected.
int ConnectTo(const addrinfo* address, const char* shown, DWORD connectMs) {
    SetSocket(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
    if (m_socket.Get() == INVALID_SOCKET) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: socket failed: %s", shown,
                 SystemErrorText(WSAGetLastError()));
        return ZKLINK_E_IO;
    }
    u_long nonBlocking = 1;
    BOOL noDelay = TRUE;
    if (ioctlsocket(m_socket.Get(), FIONBIO, &nonBlocking) != 0 ||
        setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY,
                   reinterpret_cast<const char*>(&noDelay), sizeof noDelay) != 0) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: socket options failed: %s", shown,
                 SystemErrorText(WSAGetLastError()));
        CloseSocket();
        return ZKLINK_E_IO;
    }
    int error = 0;
    if (connect(m_socket.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            if (!WaitSocket(true, connectMs)) {
                LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: no answer within %lu ms", shown,
                         static_cast<unsigned long>(connectMs));
                CloseSocket();
                return ZKLINK_E_TIMEOUT;
            }
            int length = sizeof error;
            error = 0;
            getsockopt(m_socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                       &length);
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

// Wakes a select() of Read or Write: a socket shut down is readable and
// writable at once.
void TcpStop() {
    AcquireSRWLockShared(&m_socketLock);
    if (m_socket.Get() != INVALID_SOCKET) {
        shutdown(m_socket.Get(), SD_BOTH);
    }
    ReleaseSRWLockShared(&m_socketLock);
}

bool TcpIsSetUp() {
    return m_strHost[0] != '\0';
}

int TcpOpen();
int TcpWrite(const unsigned char* data, int length);
int TcpRead(unsigned char* buffer, int capacity, int* count);
void TcpClose();
void TcpForget();

}  // namespace

const TransportOps kTcpTransport = {"TCP",   TcpIsSetUp, TcpOpen,  TcpWrite,
                                    TcpRead, TcpStop,    TcpClose, TcpForget};

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
    InterlockedExchange(&m_iWriteMs, writeMs);
    InterlockedExchange(&m_iReadMs, readMs);
    LayerLog(ZKLINK_LOG_STEPS, "SetEthTimeout: write %d ms, read %d ms", writeMs, readMs);
    return ZKLINK_OK;
}

namespace {

int TcpOpen() {
    if (!StartWinsock()) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: Winsock cannot start: %s",
                 SystemErrorText(WSAGetLastError()));
        return ZKLINK_E_IO;
    }
    DWORD connectMs = TimeoutOf(&m_iWriteMs);
    ULONGLONG deadline = GetTickCount64() + connectMs;
    addrinfo* addresses = nullptr;
    int resolved = Resolve(connectMs, &addresses);
    if (resolved != ZKLINK_OK) {
        return resolved;
    }
    int result = ZKLINK_E_IO;
    char shown[INET6_ADDRSTRLEN + 16];
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        ShowAddress(address, shown, sizeof shown);
        result = ConnectTo(address, shown, MillisecondsLeft(deadline));
        if (result == ZKLINK_OK) {
            LayerLog(ZKLINK_LOG_STEPS, "Open: connected to %s (%s)", shown, m_strHost);
            break;
        }
    }
    freeaddrinfo(addresses);
    return result;
}

int TcpWrite(const unsigned char* data, int length) {
    DWORD writeMs = TimeoutOf(&m_iWriteMs);
    ULONGLONG deadline = GetTickCount64() + writeMs;
    int sent = 0;
    while (sent < length) {
        int result =
            send(m_socket.Get(), reinterpret_cast<const char*>(data) + sent, length - sent, 0);
        if (result > 0) {
            sent += result;
            continue;
        }
        int error = WSAGetLastError();
        if (PortIsStopping()) {
            return RefuseStopped("Write");
        }
        if (result == SOCKET_ERROR && error != WSAEWOULDBLOCK) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: %d of %d bytes sent, then: %s", sent, length,
                     SystemErrorText(error));
            return ZKLINK_E_IO;
        }
        DWORD left = MillisecondsLeft(deadline);
        if (left == 0 || !WaitSocket(true, left)) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: only %d of %d bytes sent within %lu ms", sent,
                     length, static_cast<unsigned long>(writeMs));
            return ZKLINK_E_TIMEOUT;
        }
    }
    return ZKLINK_OK;
}

// Receives first and waits only when nothing is there: a wait costs more
// than a receive that finds the socket empty.
int TcpRead(unsigned char* buffer, int capacity, int* count) {
    ULONGLONG deadline = GetTickCount64() + TimeoutOf(&m_iReadMs);
    for (;;) {
        int result = recv(m_socket.Get(), reinterpret_cast<char*>(buffer), capacity, 0);
        if (result > 0) {
            *count = result;
            return ZKLINK_OK;
        }
        // A port that is closing has shut the socket down: nothing more comes.
        if (PortIsStopping()) {
            return RefuseStopped("Read");
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

}  // namespace
