// SPDX-License-Identifier: Apache-2.0
// The native-method contract of the point-of-sale port libraries.
//
// Both libraries implement the same six native methods, each for its own
// Java class in the package com.zelkor.jpos.services:
//   - libZkPosSo64.so / libZkPosSo.so (Linux) for class LinPortComm,
//   - ZkPosDll64.dll (Windows) for class WinPortComm.
// The library keeps exactly one port per process; no handle crosses to Java.
// Calls are synchronous and run on the calling Java thread. Both libraries
// take a reader thread and a writer thread at once, on every kind of port:
// their trace logs are guarded, a read that waits never holds up a write,
// every byte written reaches the device once and every read returns only its
// own bytes. On Windows a closeDevice or SetDeviceBuffer from another thread
// while a readData waits ends that read with null; the buffer it fills lives
// until it has returned. Two readers or two writers at once are not supported,
// but corrupt no memory. No native method ever raises a Java exception:
// failures come back as results only.
//
// Java declarations (the same in both classes):
//
//   long openDevice(String deviceBus, String portName, int baudRate,
//                   boolean debug, int verbosity)
//       Sets up tracing from debug and verbosity (level 0..5), chooses the
//       port kind from deviceBus, opens portName and applies the stored
//       time-outs. Returns ZKPOS_OK (0) when the port is open, ZKPOS_FAILED
//       (-1) otherwise.
//         Linux:   "RS232" (exact) is a serial line, anything else a TCP device
//                  on port 9100 named by host or dotted IPv4 address.
//         Windows: "RS232", "Ethernet", "USB" in any letter case; an Ethernet
//                  portName is host or host:port (default port 9100).
//
//   long closeDevice()
//       Closes the port. Always returns ZKPOS_OK. Stored time-outs and buffer
//       sizes survive close and reopen.
//         Linux:   a readData or writeData that waits on the port in another
//                  thread ends at once with its failure result (null, -1);
//                  so does one on a port that a new openDevice replaces. The
//                  descriptor is closed only when no call uses it any more,
//                  so no call ever reaches a connection opened after it.
//
//   byte[] readData(long unused)
//       Returns a new array with the bytes that arrived, or null.
//         Linux:   at most 1024 bytes per call; null when nothing arrived within
//                  the read time-out, when the device closed the connection or
//                  on an error.
//         Windows: at most the read buffer size; an empty array when the layer
//                  read nothing, null on a read error.
//
//   long writeData(byte[] data, long size)
//       Sends the bytes.
//         Linux:   the whole array, whatever size says; returns the count sent,
//                  or -1; a null array sends nothing and returns -1.
//         Windows: size bytes when size > 0, else the whole array; returns the
//                  count, or -1 when the write failed.
//
//   void SetDeviceTimeout(long writeTimeoutSec, long readTimeoutSec)
//       Stores the time-outs in whole seconds (default 5 each way); an open
//       port takes them at once.
//
//   void SetDeviceBuffer(long writeBufferSize, long readBufferSize)
//       Stores the buffer sizes in bytes (default 2048 each way).
#ifndef ZKPOS_PORT_COMM_H
#define ZKPOS_PORT_COMM_H

#include <jni.h>

#define ZKPOS_OK 0
#define ZKPOS_FAILED (-1)

#define ZKPOS_DEFAULT_TIMEOUT_SEC 5
#define ZKPOS_DEFAULT_BUFFER_SIZE 2048

// Declares the six native methods of one Java class of the package.
#define ZKPOS_DECLARE_NATIVE_METHODS(CLASS)                                                    \
    JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_##CLASS##_openDevice(                \
        JNIEnv* env, jobject self, jstring deviceBus, jstring portName, jint baudRate,         \
        jboolean debug, jint verbosity);                                                       \
    JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_##CLASS##_closeDevice(JNIEnv* env,   \
                                                                                jobject self); \
    JNIEXPORT jbyteArray JNICALL Java_com_zelkor_jpos_services_##CLASS##_readData(             \
        JNIEnv* env, jobject self, jlong unused);                                              \
    JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_##CLASS##_writeData(                 \
        JNIEnv* env, jobject self, jbyteArray data, jlong size);                               \
    JNIEXPORT void JNICALL Java_com_zelkor_jpos_services_##CLASS##_SetDeviceTimeout(           \
        JNIEnv* env, jobject self, jlong writeTimeoutSec, jlong readTimeoutSec);               \
    JNIEXPORT void JNICALL Java_com_zelkor_jpos_services_##CLASS##_SetDeviceBuffer(            \
        JNIEnv* env, jobject self, jlong writeBufferSize, jlong readBufferSize);

#ifdef __cplusplus
extern "C" {
#endif

ZKPOS_DECLARE_NATIVE_METHODS(LinPortComm)
ZKPOS_DECLARE_NATIVE_METHODS(WinPortComm)

#ifdef __cplusplus
}
#endif

#endif
