// SPDX-License-Identifier: Apache-2.0
// ZkLink64.dll: our communication layer. ZkPosDll64.dll hands every port
// operation to a layer of this name; this is the one we ship, so the Windows
// package drives serial lines, TCP devices and USB printers by itself. A layer
// from a device maker that exports the same twelve entries may take its place.
//
// The layer keeps one current port. CreateCommunicationPort makes it, an Init
// entry sets it up, Open opens it, Write and Read move bytes, Close closes it
// and DeleteAllLayerItems forgets it. This header is the one declaration of
// the twelve entries: the port DLL's pointer types, the test stand-ins and the
// benchmarks take theirs from it (decltype), so the compiler proves they agree.
//
// Threads. One thread may wait in Read while another calls Write, on every
// kind of port: the read never holds up the write (on a serial line, where
// Windows runs the calls on one handle in turn, at most for one check step of
// SetSerialTimeout, 10 ms from ZkPosDll64.dll), every byte written goes out
// once, and each Read returns only bytes it received itself. The time-out
// entries may come at the same time too. Close, DeleteAllLayerItems and
// CreateCommunicationPort from a third thread end a Read or Write in progress
// with a failure (ZKLINK_E_NOT_OPEN) and return once it has left the buffer
// it was given; the other entries wait for Read and Write to end. Two Reads or
// two Writes at once are not supported (their bytes may interleave) but
// corrupt no memory. The only thread the layer starts is the one that looks
// up a host name (see Open).
//
// Every entry returns an int: ZKLINK_OK (0) for success, one of the non-zero
// ZKLINK_E_ codes below for failure. Every entry checks its arguments and the
// port's state first; hostile arguments (null pointers, negative lengths, out
// of range values) and calls in the wrong state get a non-zero answer and
// change nothing. All waits are bounded by the time-outs below.
//
// CreateCommunicationPort(int kind, int logFlag, int logMask,
//                         const char* logPath, int* portId)
//     kind: 0 serial line, 1 TCP connection, 2 USB printer. Closes and
//     forgets any current port, then makes a new one of that kind with the
//     default time-outs (5000 ms each way), and stores its id (1, 2, 3, ...
//     counting every port this process made) through portId.
//     logFlag 1 with a non-null, non-empty logPath turns the layer's log on:
//     time-stamped lines appended to logPath, opened per line and shared for
//     reading and writing, so a user can watch it while the port works.
//     logFlag 0 or a null path: nothing is written. A logPath of MAX_PATH
//     (260) characters or more is refused (ZKLINK_E_ARGUMENT), since Windows
//     would not open it and the log would stay silent. logMask chooses the
//     lines:
//       8  errors: every failure, with the reason and the system's error text
//       4  steps: create, set-up, open, close, time-outs
//       2  transfers: one line per Write and per Read with its byte count
//       1  bytes: the bytes of every Write and Read, in hex (first 64)
//     An unknown kind (ZKLINK_E_ARGUMENT), a null portId (ZKLINK_E_ARGUMENT),
//     logFlag other than 0 or 1, or logMask outside 0..15 fail and create
//     nothing; the current port is then left as it was.
//
// InitSerialPort(const char* name, int baud, int stopBits, int dataBits,
//                int parity, int flowControl)
//     name: "COM1" to "COM256" in any letter case, or a device path that
//     starts with \\.\ (for example \\.\COM12), at most 259 characters. baud:
//     any rate from 1 to 4000000; whether the driver takes it shows at Open.
//     stopBits: 1 or 2. dataBits: 5 to 8. parity: 0 odd, 1 even, 2 none,
//     3 mark, 4 space. flowControl: 0 RTS/CTS hardware handshake, 1 none,
//     2 XON/XOFF. The zeros are the line these devices use: ZkPosDll64.dll
//     passes (name, baud, 1, 7, 0, 0), which is 7 data bits, odd parity, 1 stop
//     bit, RTS/CTS. A value out of range fails (ZKLINK_E_ARGUMENT).
//     Needs a serial port created and not open.
//
// InitEthTCP(const char* host, int port)
//     host: a host name, a dotted IPv4 address or an IPv6 literal, 1 to 255
//     characters, copied. port: 1 to 65535. Needs a TCP port created, not open.
//
// InitUsbPrinter(const char* name)
//     name, 1 to 259 characters, copied, in one of two forms:
//       - a device path, starting with \\?\ or \\.\, opened as it stands: the
//         interface path Windows reports for the printer (\\?\usb#vid_...);
//       - anything else is a short name, looked up at Open among the USB
//         printer interfaces present (SetupAPI, interface class of USB
//         printers): the first interface whose path contains the name,
//         letter case ignored ("vid_0dd4&pid_0195", a serial number).
//     Needs a USB port created and not open. At Open the handle must be a
//     character device, as printers and virtual COM ports are: a file, a
//     disk, a volume or a pipe is refused (ZKLINK_E_NOT_A_DEVICE) and never
//     written.
//
// Open()
//     Opens the current port as set up. Serial: opened exclusively (another
//     program holding it gives ZKLINK_E_IN_USE), then SetupComm, the line
//     settings (SetCommState), the time-outs, PurgeComm. A system-wide lock
//     named after the port keeps a second program using this layer off it:
//     a lock held, or one made by a program under another account, gives
//     ZKLINK_E_IN_USE; a lock that cannot be made at all (a name too long
//     for the system) fails the Open (ZKLINK_E_IO) rather than share the
//     port. TCP: resolves the host, then connects to each address in turn;
//     the lookup and each attempt are bounded by the write time-out in force
//     (5000 ms unless SetEthTimeout came before Open). ZkPosDll64.dll applies
//     the Java time-outs only after Open succeeds, so its connects and
//     lookups always have the 5000 ms bound. A lookup that has no answer in
//     time fails (ZKLINK_E_TIMEOUT) and is left to end on its own. Nagle's
//     delay is switched off. Refused (ZKLINK_E_REFUSED),
//     unreachable (ZKLINK_E_UNREACHABLE), unresolvable (ZKLINK_E_RESOLVE) and
//     timed out (ZKLINK_E_TIMEOUT) each fail with their own log line. USB: a
//     short name that matches no printer fails (ZKLINK_E_NOT_FOUND).
//     USB printers are opened for overlapped I/O, so that each Read and
//     Write waits on an event of its own and can be abandoned at its
//     time-out; a call returns only once its I/O has completed or been
//     cancelled. A serial Read waits in steps of checkMs (below).
//
// SetSerialTimeout(int checkMs, int readMs, int writePerByteMs, int writeMs,
//                  int drainPerByteMs)
//     ZkPosDll64.dll passes (10, readMs, 10, writeMs, 10). readMs: the longest
//     a Read waits for its first byte. writeMs plus writePerByteMs for every
//     byte: the longest a Write may take, so a long block at a low speed is
//     not cut short. checkMs: while a Read waits, it looks at the line this
//     often and fails at once on a break or framing error. drainPerByteMs:
//     Close lets bytes still queued for sending leave, waiting at most this
//     long per queued byte. readMs and writeMs 0 to 86400000; checkMs 1 to
//     1000; the per-byte values 0 to 1000.
// SetEthTimeout(int writeMs, int readMs), SetUsbTimeout(int writeMs, int readMs)
//     0 to 86400000 each. Read time-out 0 means: take what has arrived, do
//     not wait.
//     Each applies to the current port, when it is of its kind, open or not;
//     values set before Open are applied at Open. No port
//     (ZKLINK_E_NO_PORT), a port of another kind (ZKLINK_E_WRONG_KIND) or a
//     value out of range (ZKLINK_E_ARGUMENT) fail.
//
// Write(const unsigned char* data, int length)
//     Sends all length bytes within the write time-out, or fails: a block sent
//     in part is a failure (ZKLINK_E_TIMEOUT or ZKLINK_E_IO), never success.
//     Length 0 on an open port succeeds and sends nothing. A negative length,
//     or null data with a positive length, fails.
//
// Read(unsigned char* buffer, int capacity, int* count)
//     Waits at most the read time-out for the first byte, then takes what
//     has arrived, at most capacity bytes, and stores their number in count.
//     Nothing within the time-out is success with count 0. A peer that closed
//     the connection (ZKLINK_E_CLOSED), a device that vanished or a broken line
//     (ZKLINK_E_IO) fail. Null buffer or count, or a negative capacity, fail;
//     capacity 0 answers at once with count 0. On failure count is 0.
//
// Close()
//     Closes the current port; its settings stay, so Open may follow again.
//     Always ZKLINK_OK, also with nothing open, and twice.
// DeleteAllLayerItems()
//     Closes and forgets the current port and the log settings. Always
//     ZKLINK_OK.
#ifndef ZKLINK_H
#define ZKLINK_H

#define ZKLINK_KIND_SERIAL 0
#define ZKLINK_KIND_TCP 1
#define ZKLINK_KIND_USB 2

#define ZKLINK_LOG_BYTES 1
#define ZKLINK_LOG_TRANSFERS 2
#define ZKLINK_LOG_STEPS 4
#define ZKLINK_LOG_ERRORS 8

#define ZKLINK_OK 0
#define ZKLINK_E_ARGUMENT 1       // an argument is null or out of range
#define ZKLINK_E_NO_PORT 2        // no port created
#define ZKLINK_E_WRONG_KIND 3     // the current port is of another kind
#define ZKLINK_E_NOT_SET_UP 4     // Open before the port's Init
#define ZKLINK_E_NOT_OPEN 5       // Write or Read with the port not open, or closed meanwhile
#define ZKLINK_E_ALREADY_OPEN 6   // Init or Open while the port is open
#define ZKLINK_E_IN_USE 7         // another program holds the port
#define ZKLINK_E_NOT_FOUND 8      // no such port or printer
#define ZKLINK_E_TIMEOUT 9        // a connect or a write ran out of time
#define ZKLINK_E_IO 10            // the system failed the operation; the line or device broke
#define ZKLINK_E_CLOSED 11        // the peer closed the connection
#define ZKLINK_E_REFUSED 12       // the peer refused the connection
#define ZKLINK_E_UNREACHABLE 13   // no route to the peer
#define ZKLINK_E_RESOLVE 14       // the host name does not resolve
#define ZKLINK_E_SETTINGS 15      // the driver does not take the line settings
#define ZKLINK_E_NOT_A_DEVICE 16  // the USB path names a file, disk or pipe, not a device

#ifdef __cplusplus
extern "C" {
#endif

int CreateCommunicationPort(int kind, int logFlag, int logMask, const char* logPath, int* portId);
int InitSerialPort(const char* name, int baud, int stopBits, int dataBits, int parity,
                   int flowControl);
int InitEthTCP(const char* host, int port);
int InitUsbPrinter(const char* name);
int Open(void);
int SetSerialTimeout(int checkMs, int readMs, int writePerByteMs, int writeMs, int drainPerByteMs);
int SetEthTimeout(int writeMs, int readMs);
int SetUsbTimeout(int writeMs, int readMs);
int Write(const unsigned char* data, int length);
int Read(unsigned char* buffer, int capacity, int* count);
int Close(void);
int DeleteAllLayerItems(void);

#ifdef __cplusplus
}
#endif

#endif
