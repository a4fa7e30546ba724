// SPDX-License-Identifier: Apache-2.0
// What the parts of ZkLink64.dll share: the layer's log, the owners of system
// handles, the overlapped transfer that the USB transport uses, and
// the table of each transport's operations, which the entries (Entries.cpp)
// pick once by the current port's kind. A transport knows nothing of the
// entries; the log knows nothing of ports. Nothing here leaves the DLL.
#ifndef ZKLINK_INTERNAL_H
#define ZKLINK_INTERNAL_H

#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "ZkLink.h"

// ---- The layer's log (LayerLog.cpp) ----

#define ZKLINK_LOG_TEXT_SIZE 1024

// Turns the log on for path with the lines of mask, or off (path null).
// False, and the log off, when path does not fit MAX_PATH.
bool SetLayerLog(int logFlag, int logMask, const char* path);
void ForgetLayerLog();
bool LayerLogWants(int bit);
// Appends one time-stamped line when the mask has bit.
void LayerLog(int bit, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));
// The bytes line of a Write or Read (bit ZKLINK_LOG_BYTES).
void LayerLogBytes(const char* what, const unsigned char* data, int length);
// The system's text for an error code, without its line break; the text is
// the calling thread's own until its next call.
const char* SystemErrorText(DWORD error);

// ---- Time ----

// Milliseconds left until deadline (a GetTickCount64 value), never negative.
inline DWORD MillisecondsLeft(ULONGLONG deadline) {
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// True when both time-outs lie in 0..ZKLINK_MAX_TIMEOUT_MS; otherwise logs
// the entry's refusal and answers false.
bool TimeoutsInRange(const char* entry, int writeMs, int readMs);

// The longest time-out any entry takes: one day.
#define ZKLINK_MAX_TIMEOUT_MS 86400000
#define ZKLINK_DEFAULT_TIMEOUT_MS 5000

// ---- Owners of system handles ----

// Owns one handle of a kind that closes with CloseHandle. Invalid is the
// value the handle's maker returns on failure.
template <HANDLE (*Invalid)()>
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { Reset(Invalid()); }

    HANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle != Invalid(); }
    void Reset(HANDLE handle) {
        if (m_handle != Invalid()) {
            CloseHandle(m_handle);
        }
        m_handle = handle;
    }

private:
    HANDLE m_handle = Invalid();
};

inline HANDLE NullHandle() {
    return nullptr;
}
inline HANDLE InvalidFileHandle() {
    return INVALID_HANDLE_VALUE;
}
// Events, mutexes, threads: null on failure.
using ScopedObject = ScopedHandle<NullHandle>;
// Files and devices: INVALID_HANDLE_VALUE on failure.
using ScopedFile = ScopedHandle<InvalidFileHandle>;

// ---- Overlapped transfers (OverlappedIo.cpp) ----

// How one overlapped transfer ended.
struct Transfer {
    DWORD moved = 0;
    // 0, or the error that ended it (ERROR_OPERATION_ABORTED: cancelled).
    DWORD error = 0;
    // The port's stop event ended the wait: the port is closing.
    bool stopped = false;
};

// One ReadFile (or, with write, WriteFile) on file, opened for overlapped
// I/O, with an event and an OVERLAPPED of its own. It waits at most
// milliseconds, or until stop is signalled; then the I/O is cancelled and
// waited for. So when this returns, the I/O has ended and buffer is the
// caller's again, whatever thread does what on the same file meanwhile.
// False when the system failed the transfer (error says why); a time-out or
// a stop is true, with what moved before the cancel.
bool TransferOverlapped(HANDLE file, bool write, void* buffer, DWORD size, DWORD milliseconds,
                        HANDLE stop, Transfer* transfer);

// ---- The transports ----

// Each transport keeps its own settings and its open handles; Forget closes
// it and sets the defaults of a new port, the one place they are written. Open, Write and Read
// answer ZKLINK_OK or a ZKLINK_E_ code and log their failures. The entries call Init, Open, Close
// and Forget alone; Write, Read and SetTimeouts may run at the same time on different threads.
// Close is safe with nothing open.
//
// A port that is closing signals the stop event: every wait of Write and Read
// watches it, or looks at PortIsStopping between steps no longer than the
// serial check step, and ends; later ones fail at once, until the next Open
// clears it. Stop, null for transports that need nothing more, wakes a wait
// that can do neither (a select on a socket); it may come from any thread at
// any time.
struct TransportOps {
    const char* name;
    bool (*IsSetUp)();
    int (*Open)();
    int (*Write)(const unsigned char* data, int length);
    int (*Read)(unsigned char* buffer, int capacity, int* count);
    void (*Stop)();
    void (*Close)();
    void (*Forget)();
};

extern const TransportOps kSerialTransport;
extern const TransportOps kTcpTransport;
extern const TransportOps kUsbTransport;

// The Init and time-out entries differ by kind in their arguments.
int SerialInit(const char* name, int baud, int stopBits, int dataBits, int parity, int flowControl);
int SerialSetTimeouts(int checkMs, int readMs, int writePerByteMs, int writeMs, int drainPerByteMs);
int TcpInit(const char* host, int port);
int TcpSetTimeouts(int writeMs, int readMs);
int UsbInit(const char* name);
int UsbSetTimeouts(int writeMs, int readMs);

// The stop event (manual reset) and whether it is signalled.
HANDLE PortStopEvent();
bool PortIsStopping();
// The log line and result of a Write or Read ended by the stop event.
int RefuseStopped(const char* entry);

#endif
