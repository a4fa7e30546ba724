// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import com.zelkor.jpos.services.LinPortComm;
import com.zelkor.jpos.testdevice.DevicePeer;
import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.util.TreeMap;
import java.util.TreeSet;

/**
 * Write/read cycles against an echoing device on 127.0.0.1:9100, through the library, first
 * untraced, then traced at level 5. Both the device and this side check every byte against one
 * running sequence, so a lost, doubled or reordered byte stops the run. Descriptors and resident
 * memory are compared between the end of a warm-up and the end of the run.
 *
 * <p>Usage: Soak UNTRACED-CYCLES TRACED-CYCLES. Run it through private-run.sh with a fixed,
 * pre-touched heap (-Xms64m -Xmx64m -XX:+AlwaysPreTouch) so that resident memory only grows when
 * native memory does. Exits 1 on any fault.
 */
public final class Soak {
    private static final Path LOG = Paths.get("/var/log/ZkPosSoLog.txt");
    private static final int WARM_UP = 2000;
    // A leak of 16 bytes per cycle over 10^6 cycles shows; the JVM's own
    // drift after warm-up stays far below this.
    private static final long RESIDENT_GROWTH_LIMIT_KB = 16 * 1024;
    private static final long RESIDENT_CHECK_CYCLES = 100_000;
    // writeData: Begin, transport Begin, strToSend, transport End, pcbWritten,
    // End; readData with data: Begin, transport Begin, strRead, transport End, iResult.
    private static final int TRACE_LINES_PER_CYCLE = 11;

    private Soak() {}

    /** The byte at a position of the running sequence: no short period, no zero-free pattern. */
    static byte sequence(long position) {
        long x = position * 0x9E3779B97F4A7C15L;
        x ^= x >>> 29;
        return (byte) (x ^ (x >>> 17));
    }

    public static void main(String[] arguments) throws Exception {
        ThisProcess.requirePrivateRun();
        long untraced = Long.parseLong(arguments[0]);
        long traced = Long.parseLong(arguments[1]);
        boolean sound = soak(untraced, 0) & soak(traced, 5);
        System.out.println(sound ? "soak: passed" : "soak: FAILED");
        System.exit(sound ? 0 : 1);
    }

    private static boolean soak(long cycles, int verbosity) throws Exception {
        if (cycles <= 0) {
            return true;
        }
        LinPortComm port = new LinPortComm();
        long traceLines = 0;
        DevicePeer peer = DevicePeer.tcp();
        try {
            // The device sends back what it receives; the bytes are checked
            // here as they come back, the device counts them.
            peer.echo();

            port.SetDeviceTimeout(10, 10);
            if (port.openDevice("Ethernet", DevicePeer.HOST, 9600, verbosity > 0, verbosity) != 0) {
                System.out.println("soak: the open failed");
                return false;
            }
            long sent = 0;
            long checked = 0;
            TreeSet<Integer> descriptorsBefore = new TreeSet<>();
            long residentBefore = 0;
            long start = System.nanoTime();
            for (long cycle = 0; cycle < cycles; cycle++) {
                if (cycle == Math.min(WARM_UP, cycles / 10)) {
                    // Memory first: the JVM's first file channel opens a socket
                    // pair that it keeps, which is no leak of the library's.
                    residentBefore = ThisProcess.residentKb();
                    descriptorsBefore = ThisProcess.descriptors();
                }
                int length = 1 + (int) ((cycle * 37) % 1024);
                byte[] message = new byte[length];
                for (int i = 0; i < length; i++) {
                    message[i] = sequence(sent + i);
                }
                long written = port.writeData(message, length);
                if (written != length) {
                    System.out.printf("soak: cycle %d: wrote %d of %d bytes%n", cycle, written, length);
                    return false;
                }
                sent += length;
                while (checked < sent) {
                    byte[] answer = port.readData(0);
                    if (answer == null) {
                        System.out.printf("soak: cycle %d: the answer stopped after %d of %d bytes%n",
                                cycle, checked, sent);
                        return false;
                    }
                    for (byte b : answer) {
                        if (b != sequence(checked)) {
                            System.out.printf("soak: cycle %d: byte %d of the answer is wrong%n", cycle, checked);
                            return false;
                        }
                        checked++;
                    }
                }
                if (verbosity > 0 && cycle % 1000 == 999) {
                    traceLines += takeTraceLines();
                }
            }
            double seconds = (System.nanoTime() - start) / 1e9;
            int descriptorsAfter = ThisProcess.descriptors().size();
            TreeMap<Integer, String> leaked = ThisProcess.portOrLogSince(descriptorsBefore);
            long residentAfter = ThisProcess.residentKb();
            port.closeDevice();
            if (verbosity > 0) {
                traceLines += takeTraceLines();
            }
            long deviceReceived = peer.echoed();
            peer.close();

            System.out.printf("soak: %d cycles, trace level %d, %.1f s; bytes sent %d, received by the device %d,"
                    + " checked back %d, lost 0%n", cycles, verbosity, seconds, sent, deviceReceived, checked);
            System.out.printf("soak: descriptors %d -> %d, resident %d kB -> %d kB%s%n", descriptorsBefore.size(),
                    descriptorsAfter, residentBefore, residentAfter,
                    verbosity > 0 ? ", trace lines " + traceLines : "");
            boolean sound = true;
            if (deviceReceived != sent) {
                System.out.println("soak: the device received " + deviceReceived + " of " + sent + " bytes");
                sound = false;
            }
            if (!leaked.isEmpty()) {
                System.out.println("soak: descriptors left open: " + leaked);
                sound = false;
            }
            // A short round shows the JVM still warming up more than any leak.
            if (cycles >= RESIDENT_CHECK_CYCLES && residentAfter - residentBefore > RESIDENT_GROWTH_LIMIT_KB) {
                System.out.println("soak: resident memory grew by more than " + RESIDENT_GROWTH_LIMIT_KB + " kB");
                sound = false;
            }
            if (verbosity > 0 && traceLines < cycles * TRACE_LINES_PER_CYCLE) {
                System.out.println("soak: only " + traceLines + " trace lines for " + cycles + " cycles");
                sound = false;
            }
            return sound;
        } finally {
            port.closeDevice();
            peer.close();
        }
    }

    // Counts the lines written since the last call and empties the file, so
    // that a long traced run does not fill the private /var/log. The library
    // appends, so it keeps writing at the new end.
    private static long takeTraceLines() throws IOException {
        if (!Files.exists(LOG)) {
            return 0;
        }
        long lines = 0;
        for (byte b : Files.readAllBytes(LOG)) {
            if (b == '\n') {
                lines++;
            }
        }
        try (FileChannel channel = FileChannel.open(LOG, StandardOpenOption.WRITE)) {
            channel.truncate(0);
        }
        return lines;
    }
}
