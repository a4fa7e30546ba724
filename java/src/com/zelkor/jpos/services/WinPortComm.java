// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

/**
 * The Windows port of a point-of-sale device, served by ZkPosDll64.dll, which hands every port
 * operation to the communication layer ZkLink64.dll (found by the Windows search order for
 * libraries).
 *
 * <p>One port per process: every instance drives the same port. One reader thread and one
 * writer thread may call at once: a read that waits never holds up a write, and each byte
 * reaches the device once. Two readers or two writers at once are not supported. A
 * {@code closeDevice} or {@code setDeviceBuffer} from another thread ends a waiting
 * {@code readData} with null. No method throws: failures come back as -1 or null, and the
 * reason is in the trace log Documents\Zelkortec\JavaPos\Log\ZkPosDll.log when
 * {@code openDevice} was called with debug on.
 *
 * <p>The library is loaded from the file named by the system property {@code zkpos.library}
 * when it is set, else as "ZkPosDll64" from {@code java.library.path}, else from the all-in-one
 * jar when this class comes from one; the jar's own ZkLink64.dll is then loaded first, unless a
 * ZkLink64.dll lies on {@code java.library.path} (which on Windows includes PATH).
 */
public class WinPortComm {
    static {
        NativeLibrary.load("ZkPosDll64", "ZkLink64");
    }

    /**
     * Opens the port. {@code deviceBus} "RS232", "Ethernet" or "USB" (any letter case) chooses
     * the kind; {@code portName} names the serial line or USB printer, or for Ethernet the
     * device as host or host:port (port 9100 by default; host and port at most 19 characters
     * each). {@code baudRate} is used by RS232 only. {@code debug} switches the trace log on at
     * level {@code verbosity} (1 to 5). A port opened before is released first. Returns 0 when
     * the port is open and its time-outs applied, -1 otherwise.
     */
    public native long openDevice(String deviceBus, String portName, int baudRate, boolean debug,
            int verbosity);

    /** Closes the port; always returns 0. Time-outs and buffer sizes are kept. */
    public native long closeDevice();

    /**
     * Returns what the layer read, at most the read buffer size; an empty array when it read
     * nothing, null when the read failed or no port is open. The argument is not used.
     */
    public native byte[] readData(long unused);

    /**
     * Sends the first {@code size} bytes of {@code data} when {@code size} is above 0 (at most
     * the whole array), else the whole array; returns the number of bytes sent, or -1 when the
     * write failed or {@code data} is null.
     */
    public native long writeData(byte[] data, long size);

    /**
     * Stores the time-outs in whole seconds (5 each by default); an open port takes them at
     * once, and every later open applies them.
     */
    public native void SetDeviceTimeout(long writeTimeoutSec, long readTimeoutSec);

    /**
     * Stores the buffer sizes in bytes (2048 each by default) and makes a new read buffer of
     * the read size at once; reads fail while the read size is negative.
     */
    public native void SetDeviceBuffer(long writeBufferSize, long readBufferSize);
}
