// SPDX-License-Identifier: Apache-2.0
// The life of the open port. A service often closes the port on one thread
// while its reader or writer thread waits on it, and may open another port
// at once. Two things must hold then: the waiting call ends promptly, and no
// call ever uses the descriptor number once the port is gone, since the
// process may have handed that number to another connection meanwhile.
//
// So every port call holds the port for its length (PortCall), and the
// descriptor is closed by the last one out: by closeDevice when no call holds
// it, else by the call that leaves last. Ending a port wakes the calls that
// wait on it: a socket is shut down (which ends a blocked send or receive at
// once), and an eventfd that every wait also watches becomes readable.
#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ZkPosSo.h"

struct Port {
    int fd;
    int wake;  // readable once the port was closed or replaced; -1 when none could be made
    bool isSocket;
    int users;
    bool ended;    // written under the lock, read atomically by the calls
    bool closeFd;  // closeDevice closes the descriptor; a replaced port is only forgotten
};

namespace {

pthread_mutex_t portLock = PTHREAD_MUTEX_INITIALIZER;
Port* m_CurrentPort = nullptr;

class PortLock {
public:
    PortLock() { pthread_mutex_lock(&portLock); }
    ~PortLock() { pthread_mutex_unlock(&portLock); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
};

// Wakes every call on the port and marks it ended; the caller holds the lock.
// Neither step can block. Their results are not looked at: a socket the
// device already reset has nothing left to shut down, and an eventfd written
// once stays readable.
void EndLocked(Port* port, bool closeFd) {
    __atomic_store_n(&port->ended, true, __ATOMIC_RELEASE);
    port->closeFd = closeFd;
    if (port->wake >= 0) {
        eventfd_write(port->wake, 1);
    }
    if (port->isSocket) {
        shutdown(port->fd, SHUT_RDWR);
    }
}

// Outside the lock: closing a serial line may wait for its output to drain.
void Destroy(Port* port) {
    if (port == nullptr) {
        return;
    }
    if (port->closeFd) {
        close(port->fd);
    }
    if (port->wake >= 0) {
        close(port->wake);
    }
    free(port);
}

// A host that writes m_iFD itself (or closes it) has taken the port out of
// the library's hands: the record is dropped without closing a number that
// may no longer be the port's. The caller holds the lock; the result is for
// Destroy once the lock is released.
Port* DropStrayLocked() {
    Port* port = m_CurrentPort;
    if (port == nullptr || port->fd == m_iFD) {
        return nullptr;
    }
    m_CurrentPort = nullptr;
    EndLocked(port, false);
    return port->users == 0 ? port : nullptr;
}

// Ends the current port; the result is for Destroy once the lock is released.
Port* EndCurrentLocked(bool closeFd) {
    Port* port = m_CurrentPort;
    m_CurrentPort = nullptr;
    m_iFD = -1;
    EndLocked(port, closeFd);
    return port->users == 0 ? port : nullptr;
}

void LockBeforeFork() {
    pthread_mutex_lock(&portLock);
}
void UnlockAfterFork() {
    pthread_mutex_unlock(&portLock);
}

// A host that forks while another thread is inside a port call must not hand
// its child a lock that nobody will ever release.
__attribute__((constructor)) void GuardPortLockAcrossFork() {
    pthread_atfork(LockBeforeFork, UnlockAfterFork, UnlockAfterFork);
}

}  // namespace

PortCall::PortCall() : port_(nullptr), fd_(-1), wake_(-1) {
    Port* stray = nullptr;
    {
        PortLock lock;
        stray = DropStrayLocked();
        port_ = m_CurrentPort;
        if (port_ != nullptr) {
            ++port_->users;
            wake_ = port_->wake;
        }
        // Without a record (a descriptor the host put there itself, or none)
        // the call uses the bare number, as it always has.
        fd_ = m_iFD;
    }
    Destroy(stray);
}

PortCall::~PortCall() {
    if (port_ == nullptr) {
        return;
    }
    Port* last = nullptr;
    {
        PortLock lock;
        --port_->users;
        if (port_->users == 0 && port_->ended) {
            last = port_;
        }
    }
    Destroy(last);
}

bool PortCall::Ended() const {
    return port_ != nullptr && __atomic_load_n(&port_->ended, __ATOMIC_ACQUIRE);
}

void AdoptPort(int fd, bool isSocket) {
    // malloc, not new: the library links no C++ runtime beyond what it needs.
    Port* port = static_cast<Port*>(malloc(sizeof(Port)));
    if (port != nullptr) {
        *port = Port{fd, eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), isSocket, 0, false, false};
    }
    Port* replaced = nullptr;
    {
        PortLock lock;
        if (m_CurrentPort != nullptr) {
            replaced = EndCurrentLocked(false);
        }
        // Without memory for the record the port still works; only a close
        // cannot end the calls that wait on it.
        m_CurrentPort = port;
        m_iFD = fd;
    }
    Destroy(replaced);
}

void EndPort(bool closeFd) {
    Port* ended = nullptr;
    Port* stray = nullptr;
    int bare = -1;
    {
        PortLock lock;
        stray = DropStrayLocked();
        if (m_CurrentPort != nullptr) {
            ended = EndCurrentLocked(closeFd);
        } else {
            bare = closeFd ? m_iFD : -1;
            m_iFD = -1;
        }
    }
    Destroy(stray);
    Destroy(ended);
    if (bare >= 0) {
        close(bare);
    }
}
