// SPDX-License-Identifier: Apache-2.0
// What the parts of ZkLink64.dll share: the layer's log, and the three
// transports that the entries (Entries.cpp) dispatch to by the current port's
// kind. A transport knows nothing of the entries; the log knows nothing of
// ports. Nothing here leaves the DLL.
#ifndef ZKLINK_INTERNAL_H
#define ZKLINK_INTERNAL_H

#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "ZkLink.h"

// ---- The layer's log (LayerLog.cpp) ----

#define ZKLINK_LOG_TEXT_SIZE 1024

// Turns the log on for path with the lines of mask, or off (path null).
void SetLayerLog(int logFlag, int logMask, const char* path);
void ForgetLayerLog();
bool LayerLogWants(int bit);
// Appends one time-stamped line when the mask has bit.
void LayerLog(int bit, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));
// The bytes line of a Write or Read (bit ZKLINK_LOG_BYTES).
void LayerLogBytes(const char* what, const unsigned char* data, int length);
// The system's text for an error code, without its line break.
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

// ---- The transports ----

// Each transport keeps its own settings and its one open handle. Open, Write
// and Read answer ZKLINK_OK or a ZKLINK_E_ code and log their failures; Close
// is safe with nothing open. Time-outs are kept and applied at Open.

int SerialInit(const char* name, int baud, int stopBits, int dataBits, int parity, int flowControl);
int SerialSetTimeouts(int checkMs, int readMs, int writePerByteMs, int writeMs, int drainPerByteMs);
int SerialOpen();
int SerialWrite(const unsigned char* data, int length);
int SerialRead(unsigned char* buffer, int capacity, int* count);
void SerialClose();
// Closes and returns to the settings of a new port.
void SerialForget();
bool SerialIsSetUp();

int TcpInit(const char* host, int port);
int TcpSetTimeouts(int writeMs, int readMs);
int TcpOpen();
int TcpWrite(const unsigned char* data, int length);
int TcpRead(unsigned char* buffer, int capacity, int* count);
void TcpClose();
void TcpForget();
bool TcpIsSetUp();

int UsbInit(const char* name);
int UsbSetTimeouts(int writeMs, int readMs);
int UsbOpen();
int UsbWrite(const unsigned char* data, int length);
int UsbRead(unsigned char* buffer, int capacity, int* count);
void UsbClose();
void UsbForget();
bool UsbIsSetUp();

// The longest time-out any entry takes: one day.
#define ZKLINK_MAX_TIMEOUT_MS 86400000
#define ZKLINK_DEFAULT_TIMEOUT_MS 5000

#endif
