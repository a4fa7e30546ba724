// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

/**
 * The plain C baselines, loaded into the benchmark's own JVM from the file named by the system
 * property {@code zkpos.bench.baseline}. Every batch runs inside one native call and returns
 * its elapsed nanoseconds, or -1 when the peer failed it.
 */
final class Baseline {
    static {
        System.load(System.getProperty("zkpos.bench.baseline"));
    }

    private Baseline() {}

    /** A blocking socket to the peer on 127.0.0.1:9100, waits bounded to 5 s; -1 on failure. */
    static native int connectPeer();

    static native boolean send(int fd, byte[] data);

    static native void close(int fd);

    static native long roundTrips(int fd, int count, int size);

    static native long bulkWrite(int fd, long total, int chunk);

    static native long bulkRead(int fd, long total);

    /** One send through the JNI calls a native write method needs, and nothing else. */
    static native int writeArray(int fd, byte[] data);

    /** One send of the array's bytes copied once with GetByteArrayRegion (at most 1 KiB). */
    static native int writeRegion(int fd, byte[] data);

    /** One receive handed over as a new array, and nothing else; null on failure. */
    static native byte[] readArray(int fd);

    static native int openSerial(String path);

    /** The serial twins of writeArray and readArray, with the library's read sequence. */
    static native int writeTerminal(int fd, byte[] data);

    static native byte[] readTerminal(int fd);

    static native long serialReplies(int fd, int count, byte request, int replySize);
}
