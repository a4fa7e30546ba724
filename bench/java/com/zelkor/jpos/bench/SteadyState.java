// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

import com.zelkor.jpos.services.LinPortComm;
import java.io.File;
import java.io.RandomAccessFile;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;

/**
 * Row 5: the JVM's descriptors and resident memory before and after many write/read cycles,
 * untraced and traced. The heap is fixed and touched in advance (see the JVM options of the
 * benchmark), so resident memory moves only with what native code keeps.
 */
final class SteadyState {
    private static final String LOG_FILE = "/var/log/ZkPosSoLog.txt";
    private static final int WARMUP_CYCLES = 10_000;
    // Some growth is the JVM's own (compiled code, class data); a leak of even a few bytes a
    // cycle is far above this after 10^5 cycles.
    private static final long NOISE_KIB = 2048;

    private final LinPortComm port;
    private final Settings settings;

    SteadyState(LinPortComm port, Settings settings) {
        this.port = port;
        this.settings = settings;
    }

    void measure(List<Row> rows) throws Exception {
        // The first reads of /proc initialise JVM classes that keep a descriptor of their own;
        // that must happen before the first snapshot, not between two.
        residentKib();
        openFiles();
        double untraced = cycles(rows, settings.steadyUntraced, false);
        double traced = cycles(rows, settings.steadyTraced, true);
        double lines = linesPerCycle();
        port.closeDevice();
        rows.add(new Row("5 steady state",
                String.format("trace on (level 5) against off, %.1f lines a cycle", lines),
                Row.microseconds(traced), "trace off " + Row.microseconds(untraced),
                Row.times(traced / untraced),
                String.format("(reported; %.0f ns a line)", (traced - untraced) / lines), "-"));
    }

    /** The lines a traced cycle writes, counted in the emptied log after a few cycles. */
    private double linesPerCycle() throws Exception {
        final int cycles = 100;
        TcpBench.openPort(port, TcpBench.service('E', 0), true, 5);
        byte[] message = new byte[16];
        java.util.Arrays.fill(message, (byte) 's');
        emptyLog();
        run(cycles, false, message);
        long lines = 0;
        for (byte b : Files.readAllBytes(Paths.get(LOG_FILE))) {
            lines += b == '\n' ? 1 : 0;
        }
        emptyLog();
        return lines / (double) cycles;
    }

    private static void emptyLog() throws Exception {
        try (RandomAccessFile file = new RandomAccessFile(LOG_FILE, "rw")) {
            file.setLength(0);
        }
    }

    /** One row of descriptors and resident memory; returns the time of a cycle in ns. */
    private double cycles(List<Row> rows, int count, boolean traced) throws Exception {
        TcpBench.openPort(port, TcpBench.service('E', 0), traced, traced ? 5 : 0);
        byte[] message = new byte[16];
        java.util.Arrays.fill(message, (byte) 's');
        run(Math.min(WARMUP_CYCLES, count), traced, message);
        System.gc();
        java.util.Set<String> openBefore = openFiles();
        int fdsBefore = openBefore.size();
        long rssBefore = residentKib();
        long start = System.nanoTime();
        run(count, traced, message);
        double perCycle = (System.nanoTime() - start) / (double) count;
        System.gc();
        java.util.Set<String> openAfter = openFiles();
        int fdsAfter = openAfter.size();
        openAfter.removeAll(openBefore);
        long rssAfter = residentKib();

        long growth = rssAfter - rssBefore;
        rows.add(new Row("5 steady state",
                String.format("%,d cycles, trace %s, %s a cycle", count,
                        traced ? "on (level 5)" : "off", Row.microseconds(perCycle)),
                String.format("fds %d -> %d, RSS %+,d KiB%s", fdsBefore, fdsAfter, growth,
                        openAfter.isEmpty() ? "" : ", new: " + String.join(" ", openAfter)),
                String.format("before: %d fds, RSS %,d KiB", fdsBefore, rssBefore), "-",
                "no growth beyond noise (" + NOISE_KIB + " KiB)",
                Row.verdict(fdsAfter == fdsBefore && growth <= NOISE_KIB)));
        return perCycle;
    }

    /** count cycles; with emptying, the trace file is emptied every 10^4 of them. */
    private void run(int count, boolean emptying, byte[] message) throws Exception {
        for (int i = 0; i < count; ++i) {
            if (!TcpBench.libraryRoundTrip(port, message)) {
                throw new IllegalStateException("round trip " + i + " failed");
            }
            // The trace file grows by about a kilobyte a cycle; the private /var/log is memory.
            if (emptying && i % 10_000 == 9_999) {
                emptyLog();
            }
        }
    }

    /**
     * The JVM's open descriptors, each as number and target, so that a new one can be named.
     * The JVM's own threads open and close files now and then (cgroup limits, class data): only
     * what stays open across three looks 10 ms apart counts.
     */
    static java.util.Set<String> openFiles() throws Exception {
        java.util.Set<String> stable = null;
        for (int look = 0; look < 3; ++look) {
            java.util.Set<String> open = new java.util.TreeSet<>();
            File[] entries = new File("/proc/self/fd").listFiles();
            for (File entry : entries == null ? new File[0] : entries) {
                try {
                    open.add(entry.getName() + "=" + Files.readSymbolicLink(entry.toPath()));
                } catch (java.io.IOException e) {
                    // Closed since the listing, the listing's own descriptor among them.
                }
            }
            if (stable == null) {
                stable = open;
            } else {
                stable.retainAll(open);
            }
            Thread.sleep(10);
        }
        return stable;
    }

    static long residentKib() throws Exception {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }
}
