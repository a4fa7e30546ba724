// SPDX-License-Identifier: Apache-2.0
// What the parts of ZkPosDll64.dll share: the trace log with its log paths and
// version text, the binding to the communication layer ZkLink64.dll, and the
// port state of the native methods. Nothing here is exported from the DLL; the
// only way in from Java is the six WinPortComm methods of ZkPosPortComm.h.
#ifndef ZKPOS_DLL_H
#define ZKPOS_DLL_H

#include <windows.h>

#include <cstdint>

#include "ZkLink.h"
#include "ZkPosPortComm.h"

// ---- Trace log and log paths (TraceLog.cpp), version text (VersionText.cpp) ----

#define ZKPOS_PATH_SIZE MAX_PATH
#define ZKPOS_DLL_TRACE_TEXT_SIZE 1024
// "%0d.%02d" of two 8-bit values, terminator included.
#define ZKPOS_VERSION_TEXT_SIZE 10

// Lines are written when their level is at most this; 0 writes nothing.
extern int m_iTraceLevel;
// Our own trace log, and the log file handed to the communication layer.
extern char m_strLogFileName[ZKPOS_PATH_SIZE];
extern char m_strComLogFileName[ZKPOS_PATH_SIZE];

// Writes the DLL's own version as "minor.revision" into destination, which has
// room for ZKPOS_VERSION_TEXT_SIZE characters; empty when it cannot be read.
void GetDllVersion(char* destination);
// Recomputes both log paths for m_iTraceLevel, creating the log folder under
// the user's Documents folder when tracing is on.
void InitLogPaths();
// Builds both log paths in the log folder under documentsFolder, creating the
// folders that are missing; a null documentsFolder means the drive root.
void BuildLogPaths(const char* documentsFolder);
// Formats one message and appends it to the trace log when its level is at
// most m_iTraceLevel.
void PrintTrace(int level, const char* format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));
// Appends one time-stamped line to m_strLogFileName.
void WriteLogLine(const char* text);

// ---- Binding to the communication layer (CommunicationDll.cpp) ----

#define ZKPOS_COMMUNICATION_DLL_NAME "ZkLink64.dll"

// The loaded layer; null until loaded and again once released.
extern HMODULE m_hCommunicationDll;

// Each returns 0 when the layer's entry returned 0, and -1 when it returned
// anything else, cannot be resolved or no layer is loaded.
int CommunicationDll_Load();
int CommunicationDll_CreatePort(int kind);
int CommunicationDll_Serial_Init(const char* portName, int baud, int a, int b, int c, int d);
int CommunicationDll_Usb_Init(const char* portName);
// Splits host[:port] (port 9100 by default) and hands it to the layer.
int CommunicationDll_Eth_Init(const char* address);
int CommunicationDll_Open();
int CommunicationDll_Serial_SetTimeout(int writeMs, int readMs);
int CommunicationDll_Eth_SetTimeout(int writeMs, int readMs);
int CommunicationDll_Usb_SetTimeout(int writeMs, int readMs);
int CommunicationDll_Write(const unsigned char* data, int length);
int CommunicationDll_Read(unsigned char* buffer, int* count, int capacity);
void CommunicationDll_Close();
// Closes the port, clears the layer and forgets it (it stays in the process).
void CommunicationDll_Release();

// ---- Port state of the native methods (WinPortComm.cpp) ----

// Port kinds are the layer's.
#define ZKPOS_PORT_NONE (-1)
#define ZKPOS_PORT_RS232 ZKLINK_KIND_SERIAL
#define ZKPOS_PORT_ETHERNET ZKLINK_KIND_TCP
#define ZKPOS_PORT_USB ZKLINK_KIND_USB

// The kind of the last open that got as far as recognising its bus.
extern int32_t m_iPortType;
// Time-outs in milliseconds, applied at every open and at once when changed.
extern int32_t m_iReadTimeoutMs;
extern int32_t m_iWriteTimeoutMs;
extern int32_t m_iReadBufferSize;
extern int32_t m_iWriteBufferSize;
// m_iReadBufferSize bytes, or null when there is none. A readData in
// progress holds the buffer it started with: a buffer replaced or freed
// meanwhile lives on until that read has ended (WinPortComm.cpp).
extern unsigned char* m_pReadBuffer;
// 1 once any open got the port open in the layer; never cleared, so every
// later open releases the layer first.
extern int32_t m_bPortOpened;
// Id of the port the layer created; only traced.
extern int32_t m_iPortId;
// Our copy of the port name handed to the layer, kept until the port is
// released or the layer has created the next port.
extern char* m_pPortName;

// The port kind of a device-bus text: "RS232", "Ethernet" or "USB" in any
// letter case, else ZKPOS_PORT_NONE.
int GetDevicePort(const char* deviceBus);
#endif
