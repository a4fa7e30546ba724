// SPDX-License-Identifier: Apache-2.0
// What the parts of the Linux port library share: the device state, the trace
// log, the two transports and the small helpers they all use. Everything
// declared extern "C" here is exported from the library under its own name;
// the helpers at the end stay inside it.
#ifndef ZKPOS_LINUX_ZKPOSSO_H
#define ZKPOS_LINUX_ZKPOSSO_H

#include <cstddef>
#include <cstdio>
#include <netdb.h>
#include <sys/select.h>
#include <termios.h>
#include <ctime>

#define ZKPOS_EXPORT __attribute__((visibility("default")))

// Size of the block that one read fills, and of every trace text the
// transports and entry points format.
#define ZKPOS_READ_BLOCK_SIZE 1024
#define ZKPOS_SO_TRACE_TEXT_SIZE 128

// Trace log status codes.
#define LOG_OK 0
#define LOG_NOT_WRITTEN 2901
#define LOG_OPEN_FAILED 2902
#define LOG_CLOSE_FAILED 2903
#define LOG_LINE_FAILED 2904
#define LOG_WRITE_FAILED 2905
#define LOG_BAD_LEVEL 2906
#define LOG_BAD_PRINT_DATE 2907

#ifdef __cplusplus
extern "C" {
#endif

// Device state: one port per process.
extern ZKPOS_EXPORT int m_iFD;
extern ZKPOS_EXPORT int m_iDeviceType;     // 1 serial, 2 Ethernet, anything else: none chosen
extern ZKPOS_EXPORT long m_lReadTimeout;   // seconds
extern ZKPOS_EXPORT long m_lWriteTimeout;  // seconds; also the connect time-out
extern ZKPOS_EXPORT long m_lReadBufferSize;
extern ZKPOS_EXPORT long m_lWriteBufferSize;

ZKPOS_EXPORT void AssignDevice(const char* deviceBus);

// Trace log.
extern ZKPOS_EXPORT bool m_bDebug;
extern ZKPOS_EXPORT char m_strFileName[200];
extern ZKPOS_EXPORT short m_bTxt;
extern ZKPOS_EXPORT short m_bPrintDate;
extern ZKPOS_EXPORT int m_iVerbosity;
extern ZKPOS_EXPORT FILE* m_TextFile;
extern ZKPOS_EXPORT int m_iStreamOut;

ZKPOS_EXPORT int InitLog(const char* fileName, int verbosity, short printDate);
ZKPOS_EXPORT int PrintLog(const char* module, const char* function, const char* text, int level);
ZKPOS_EXPORT int ChangePrintDate(short printDate);
ZKPOS_EXPORT int ChangeVerbosity(int verbosity);
ZKPOS_EXPORT int GetVerbosity(void);
ZKPOS_EXPORT void StopLog(void);
ZKPOS_EXPORT int OpenLogFile(void);
ZKPOS_EXPORT int CloseLogFile(void);
ZKPOS_EXPORT int WriteLogFile(const char* text);

// Serial transport.
extern ZKPOS_EXPORT struct termios m_TIO;
extern ZKPOS_EXPORT fd_set m_Input;

ZKPOS_EXPORT int OpenSerialPort(const char* portName, int baudRate);
ZKPOS_EXPORT const char* ConvertPort(const char* portName);
ZKPOS_EXPORT int WriteToSerialPort(unsigned char* bytes, int count);
ZKPOS_EXPORT int ReadFromSerialPort(char* block);

// Ethernet transport.
ZKPOS_EXPORT int OpenEthernetPort(const char* host);
ZKPOS_EXPORT void SetEthernetTimeout(void);
ZKPOS_EXPORT int WriteToEthernetPort(unsigned char* bytes, int count);
ZKPOS_EXPORT int ReadFromEthernetPort(char* block);

#ifdef __cplusplus
}
#endif

// Writes one trace line for a function of this library: formats into a
// ZKPOS_SO_TRACE_TEXT_SIZE buffer (cut to it) and hands the text to PrintLog with
// the module name "ZkPosSo". A line the level filter rejects is not formatted.
void Trace(const char* function, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes one data line at level 2: the head, the data shown as text (see
// ShowBytes) and the tail formatted from the remaining arguments. The data is
// cut, never the head or the tail, so the line keeps its closing ")" and its
// count within the ZKPOS_SO_TRACE_TEXT_SIZE buffer.
void TraceData(const char* function, const char* head, const void* data, int length,
               const char* tailFormat, ...) __attribute__((format(printf, 5, 6)));

// The trace switch and the verbosity, read without the trace log's lock by
// the level filter of the trace helpers. Every write of them in the library
// is atomic too (TraceLog.cpp), so a caller on another thread that changes
// them is no data race.
inline bool TraceSwitchOn() {
    return __atomic_load_n(&m_bDebug, __ATOMIC_RELAXED);
}
inline int TraceVerbosity() {
    return __atomic_load_n(&m_iVerbosity, __ATOMIC_RELAXED);
}
// Sets the trace switch, as openDevice does before it sets up the log.
void SetTraceSwitch(bool on);

// Shows device data as text: copies the bytes up to the first zero byte, at
// most length bytes and at most size - 1, and terminates the copy. Never reads
// past data + length. Returns the number of bytes shown.
size_t ShowBytes(char* text, size_t size, const void* data, size_t length);

// The open port (PortLifetime.cpp). A port call holds the port for its
// length: the descriptor stays open while any call holds it, and closing or
// replacing the port wakes the calls that wait on it.
class PortCall {
public:
    PortCall();
    ~PortCall();
    PortCall(const PortCall&) = delete;
    PortCall& operator=(const PortCall&) = delete;
    // The port's descriptor for this call, -1 when no port is open.
    int Fd() const { return fd_; }
    // Readable once the port was closed or replaced; -1 when there is none to
    // watch (a wait then ignores it).
    int Wake() const { return wake_; }
    // True once the port was closed or replaced.
    bool Ended() const;

private:
    struct Port* port_;
    int fd_;
    int wake_;
};
// Makes the just-opened descriptor the port (m_iFD); a port still open is
// ended and forgotten.
void AdoptPort(int fd, bool isSocket);
// Ends the port: m_iFD becomes -1, the calls that wait on it end, and with
// closeFd the descriptor is closed once the last call has left (else it is
// only forgotten, as a second open forgets the first port).
void EndPort(bool closeFd);

// Waits that a signal cannot cut short (Waits.cpp). A deadline is an end
// time on the monotonic clock, or none at all.
struct Deadline {
    struct timespec end;
    bool unlimited;
};
// The moment a wait starts, for a deadline taken only once a signal has
// interrupted the wait.
struct timespec WaitStart();
// The given time after start; a time the clock cannot count is no deadline.
Deadline DeadlineAfter(const struct timespec& start, long seconds, long microseconds);
Deadline NoDeadline();
bool DeadlinePassed(const Deadline& deadline);
// The time from now until the deadline; zero once it has passed (and for no
// deadline: look at unlimited first).
struct timespec TimeLeft(const Deadline& deadline);
// Polls one descriptor (as ppoll: a negative one is not watched) until one of
// the events comes or the deadline passes, going on after signals. Returns
// ppoll's result: above 0 ready, 0 the time passed, -1 an error. A wake
// descriptor (PortCall::Wake, or -1) that becomes readable ends the wait with
// -1 and ECANCELED.
int PollUntil(int fd, short events, const Deadline& deadline, int wake = -1);
// The same for a time-out in whole seconds from now; a negative one is an
// error (EINVAL), as it is for ppoll.
int PollFor(int fd, short events, long seconds, int wake = -1);
// A stored time-out in seconds from the 64 bits Java passes: saturated at
// the platform's long, never wrapped.
long ClampTimeout(long long seconds);
// Looks a host up with getaddrinfo and these hints, waiting at most until the
// deadline (HostLookup.cpp). The result is for freeaddrinfo; null when the
// name did not resolve in time.
struct addrinfo* LookUpHost(const char* host, const struct addrinfo& hints,
                            const Deadline& deadline);
// Sleeps the whole time, however many signals come.
void SleepFully(long microseconds);

#endif
