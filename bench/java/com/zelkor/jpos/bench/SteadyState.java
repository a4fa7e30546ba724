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
        cycles(rows, settings.steadyUntraced, false);
        cycles(rows, settings.steadyTraced, true);
        port.closeDevice();
    }

    private void cycles(List<Row> rows, int count, boolean traced) throws Exception {
        TcpBench.openPort(port, TcpBench.service('E', 0), traced, traced ? 5 : 0);
        byte[] message = new byte[16];
        java.util.Arrays.fill(message, (byte) 's');
        run(Math.min(WARMUP_CYCLES, count), traced, message);
        System.gc();
        int fdsBefore = descriptors();
        long rssBefore = residentKib();
        long start = System.nanoTime();
        run(count, traced, message);
        double perCycle = (System.nanoTime() - start) / (double) count;
        System.gc();
        int fdsAfter = descriptors();
        long rssAfter = residentKib();

        long growth = rssAfter - rssBefore;
        rows.add(new Row("5 steady state",
                String.format("%,d cycles, trace %s", count, traced ? "on (level 5)" : "off"),
                String.format("fds %d -> %d, RSS %,d -> %,d KiB", fdsBefore, fdsAfter, rssBefore,
                        rssAfter),
                String.format("%s per cycle", Row.microseconds(perCycle)), "-",
                "no growth beyond noise (" + NOISE_KIB + " KiB)",
                Row.verdict(fdsAfter == fdsBefore && growth <= NOISE_KIB)));
    }

    private void run(int count, boolean traced, byte[] message) throws Exception {
        for (int i = 0; i < count; ++i) {
            if (!TcpBench.libraryRoundTrip(port, message)) {
                throw new IllegalStateException("round trip " + i + " failed");
            }
            // The trace file grows by about a kilobyte a cycle; the private /var/log is memory.
            if (traced && i % 10_000 == 9_999) {
                try (RandomAccessFile file = new RandomAccessFile(LOG_FILE, "rw")) {
                    file.setLength(0);
                }
            }
        }
    }

    static int descriptors() {
        String[] entries = new File("/proc/self/fd").list();
        return entries == null ? -1 : entries.length;
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
