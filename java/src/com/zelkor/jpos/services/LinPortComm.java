// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

/**
 * The Linux port of a point-of-sale device, served by libZkPosSo64.so in a 64-bit JVM and by
 * libZkPosSo.so in a 32-bit one.
 *
 * <p>One port per process: every instance drives the same port. One reader thread and one
 * writer thread may call at once: a read that waits never holds up a write, and each byte
 * reaches the device once. Two readers or two writers at once are not supported. A
 * {@code closeDevice} from another thread ends a waiting call with -1 or null. No method
 * throws: failures come back as -1 or null, and the reason is in the trace log
 * /var/log/ZkPosSoLog.txt when {@code openDevice} was called with debug on.
 *
 * <p>The library is loaded from the file named by the system property {@code zkpos.library}
 * when it is set, else by name ("ZkPosSo64", or "ZkPosSo" in a 32-bit JVM) from
 * {@code java.library.path}, else from the all-in-one jar when this class comes from one.
 */
public class LinPortComm {
    static {
        NativeLibrary.load(NativeLibrary.is32BitJvm() ? "ZkPosSo" : "ZkPosSo64");
    }

    /**
     * Opens the port. {@code deviceBus} "RS232" (exactly) opens the serial line {@code portName}
     * ("COM1" to "COM4" or a device path) at {@code baudRate} (9600, 19200, 38400 or 57600;
     * anything else runs at 19200) with 7 data bits, odd parity, 1 stop bit and RTS/CTS; any
     * other bus connects to TCP port 9100 of the host {@code portName}, waiting at most the
     * write time-out. {@code debug} switches the trace log on at level {@code verbosity} (0 to
     * 5). Returns 0 when the port is open, -1 otherwise.
     */
    public native long openDevice(String deviceBus, String portName, int baudRate, boolean debug,
            int verbosity);

    /** Closes the port; always returns 0. Time-outs and buffer sizes are kept. */
    public native long closeDevice();

    /**
     * Returns what has arrived, at most 1024 bytes per call, waiting at most the read time-out
     * for the first byte; null when nothing arrived, the device closed the connection or the
     * read failed. The argument is not used.
     */
    public native byte[] readData(long unused);

    /**
     * Sends the whole array ({@code size} is not used) and returns the number of bytes the
     * port accepted, or -1 when the write failed or {@code data} is null.
     */
    public native long writeData(byte[] data, long size);

    /** Stores the time-outs in whole seconds (5 each by default); an open TCP port takes them at once. */
    public native void SetDeviceTimeout(long writeTimeoutSec, long readTimeoutSec);

    /** Stores the buffer sizes in bytes (2048 each by default); reads still take at most 1024 bytes. */
    public native void SetDeviceBuffer(long writeBufferSize, long readBufferSize);
}
