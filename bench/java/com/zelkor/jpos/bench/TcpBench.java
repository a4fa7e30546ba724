// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

import com.zelkor.jpos.services.LinPortComm;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.util.List;

/** Rows 1 and 2: a TCP device on 127.0.0.1:9100, the library against Java sockets and plain C. */
final class TcpBench {
    private static final int MESSAGE_SIZE = 16;
    private static final int CHUNK = 1024;
    private static final int WAIT_MS = 5000;
    /** What any native method would cost with the same JNI calls: the floor of the library. */
    private static final String BARE_JNI = "(for comparison) bare JNI methods, same JNI calls";
    /** Throughput has no bound of its own: the floor row beside it is the one to hold it to. */
    private static final String BULK_GOAL = "(reported; see floor)";

    private final LinPortComm port;
    private final Settings settings;

    TcpBench(LinPortComm port, Settings settings) {
        this.port = port;
        this.settings = settings;
    }

    /** The peer's service is named by five bytes: a letter and a little-endian unit. */
    static byte[] service(char mode, long unit) {
        return new byte[] {(byte) mode, (byte) unit, (byte) (unit >>> 8), (byte) (unit >>> 16),
            (byte) (unit >>> 24)};
    }

    /** Connects the library's one port to the peer and names the service it wants. */
    static void openPort(LinPortComm port, byte[] service, boolean debug, int verbosity) {
        port.closeDevice();
        if (port.openDevice("Ethernet", "127.0.0.1", 0, debug, verbosity) != 0
                || port.writeData(service, service.length) != service.length) {
            throw new IllegalStateException("the library cannot reach the peer on 127.0.0.1:9100");
        }
    }

    static int openBaseline(byte[] service) {
        int fd = Baseline.connectPeer();
        if (fd < 0 || !Baseline.send(fd, service)) {
            throw new IllegalStateException("plain C cannot reach the peer on 127.0.0.1:9100");
        }
        return fd;
    }

    private static Socket openSocket(byte[] service, boolean timeOut) throws Exception {
        Socket socket = new Socket();
        socket.connect(new InetSocketAddress("127.0.0.1", 9100), WAIT_MS);
        if (timeOut) {
            socket.setSoTimeout(WAIT_MS);
        }
        socket.getOutputStream().write(service);
        return socket;
    }

    /** One round trip through the library: the whole message out, then reads until it is back. */
    static boolean libraryRoundTrip(LinPortComm port, byte[] message) {
        if (port.writeData(message, message.length) != message.length) {
            return false;
        }
        for (int received = 0; received < message.length;) {
            byte[] reply = port.readData(0);
            if (reply == null) {
                return false;
            }
            received += reply.length;
        }
        return true;
    }

    private static boolean bareRoundTrip(int fd, byte[] message) {
        if (Baseline.writeArray(fd, message) != message.length) {
            return false;
        }
        for (int received = 0; received < message.length;) {
            byte[] reply = Baseline.readArray(fd);
            if (reply == null) {
                return false;
            }
            received += reply.length;
        }
        return true;
    }

    private static long socketRoundTrips(Socket socket, int count) throws Exception {
        byte[] message = new byte[MESSAGE_SIZE];
        byte[] reply = new byte[MESSAGE_SIZE];
        java.util.Arrays.fill(message, (byte) 'r');
        OutputStream out = socket.getOutputStream();
        InputStream in = socket.getInputStream();
        long start = System.nanoTime();
        for (int i = 0; i < count; ++i) {
            out.write(message);
            for (int received = 0; received < MESSAGE_SIZE;) {
                int n = in.read(reply, received, MESSAGE_SIZE - received);
                if (n <= 0) {
                    return -1;
                }
                received += n;
            }
        }
        return System.nanoTime() - start;
    }

    void roundTrip(List<Row> rows) throws Exception {
        byte[] echo = service('E', 0);
        openPort(port, echo, false, 0);
        int baseline = openBaseline(echo);
        int bare = openBaseline(echo);
        try (Socket timed = openSocket(echo, true); Socket untimed = openSocket(echo, false)) {
            byte[] message = new byte[MESSAGE_SIZE];
            java.util.Arrays.fill(message, (byte) 'r');
            Rounds.Batch plain = count -> Baseline.roundTrips(baseline, count, MESSAGE_SIZE);
            Rounds.Batch library = count -> {
                long start = System.nanoTime();
                for (int i = 0; i < count; ++i) {
                    if (!libraryRoundTrip(port, message)) {
                        return -1;
                    }
                }
                return System.nanoTime() - start;
            };
            Rounds.Batch socketTimed = count -> socketRoundTrips(timed, count);
            Rounds.Batch socketUntimed = count -> socketRoundTrips(untimed, count);
            Rounds.Batch bareJni = count -> {
                long start = System.nanoTime();
                for (int i = 0; i < count; ++i) {
                    if (!bareRoundTrip(bare, message)) {
                        return -1;
                    }
                }
                return System.nanoTime() - start;
            };
            Rounds.run(settings.warmupRounds, settings.roundTrips, plain, library, socketTimed,
                    socketUntimed, bareJni);
            Rounds r = Rounds.run(settings.rounds, settings.roundTrips, plain, library, socketTimed,
                    socketUntimed, bareJni);

            String what = "1 TCP round trip, 16 B";
            String base = "plain C send/recv " + Row.microseconds(r.median(0));
            double library2timed = r.ratio(1, 2);
            rows.add(new Row(what, "LinPortComm writeData+readData", Row.microseconds(r.median(1)),
                    base, Row.times(r.ratio(1, 0)), "<= 1.05x",
                    Row.verdict(r.ratio(1, 0) <= 1.05)));
            rows.add(new Row(what, "java.net.Socket, setSoTimeout", Row.microseconds(r.median(2)),
                    base, Row.times(r.ratio(2, 0)),
                    String.format("library faster (library/socket %.3fx)", library2timed),
                    Row.verdict(library2timed < 1)));
            rows.add(new Row(what, "java.net.Socket, no time-out", Row.microseconds(r.median(3)),
                    base, Row.times(r.ratio(3, 0)), "(reported)", "-"));
            rows.add(new Row(what, BARE_JNI, Row.microseconds(r.median(4)), base,
                    Row.times(r.ratio(4, 0)), floor(r, 1, 4), "-"));
        } finally {
            Baseline.close(baseline);
            Baseline.close(bare);
        }
    }

    void bulk(List<Row> rows) throws Exception {
        long total = settings.bulkBytes;
        String what = "2 bulk TCP, " + mebibytes(total) + " MiB";

        byte[] drain = service('D', total);
        openPort(port, drain, false, 0);
        int drained = openBaseline(drain);
        int bareDrained = openBaseline(drain);
        int regionDrained = openBaseline(drain);
        byte[] chunk = new byte[CHUNK];
        java.util.Arrays.fill(chunk, (byte) 'w');
        try {
            Rounds.Batch plain = count -> Baseline.bulkWrite(drained, total, CHUNK);
            Rounds.Batch library = count -> {
                long start = System.nanoTime();
                for (long sent = 0; sent < total; sent += CHUNK) {
                    if (port.writeData(chunk, CHUNK) != CHUNK) {
                        return -1;
                    }
                }
                return port.readData(0) != null ? System.nanoTime() - start : -1;
            };
            Rounds.Batch bareJni = count -> {
                long start = System.nanoTime();
                for (long sent = 0; sent < total; sent += CHUNK) {
                    if (Baseline.writeArray(bareDrained, chunk) != CHUNK) {
                        return -1;
                    }
                }
                return Baseline.readArray(bareDrained) != null ? System.nanoTime() - start : -1;
            };
            Rounds.Batch region = count -> {
                long start = System.nanoTime();
                for (long sent = 0; sent < total; sent += CHUNK) {
                    if (Baseline.writeRegion(regionDrained, chunk) != CHUNK) {
                        return -1;
                    }
                }
                return Baseline.readArray(regionDrained) != null ? System.nanoTime() - start : -1;
            };
            Rounds.run(settings.warmupRounds, 1, plain, library, bareJni, region);
            Rounds r = Rounds.run(settings.bulkRounds, 1, plain, library, bareJni, region);
            String base = "plain C send " + throughput(total, r.median(0));
            rows.add(new Row(what, "writeData, 1 KiB writes", throughput(total, r.median(1)), base,
                    Row.times(r.ratio(1, 0)), BULK_GOAL, "-"));
            rows.add(new Row(what, BARE_JNI + ", writes", throughput(total, r.median(2)), base,
                    Row.times(r.ratio(2, 0)), floor(r, 1, 2), "-"));
            rows.add(new Row(what, "(for comparison) GetByteArrayRegion + send",
                    throughput(total, r.median(3)), base, Row.times(r.ratio(3, 0)),
                    String.format("(library/this %.3fx)", r.ratio(1, 3)), "-"));
        } finally {
            Baseline.close(drained);
            Baseline.close(bareDrained);
            Baseline.close(regionDrained);
        }

        byte[] source = service('S', total);
        openPort(port, source, false, 0);
        int sourced = openBaseline(source);
        int bareSourced = openBaseline(source);
        byte[] ask = {(byte) 'g'};
        try {
            Rounds.Batch plain = count -> Baseline.bulkRead(sourced, total);
            Rounds.Batch library = count -> {
                long start = System.nanoTime();
                if (port.writeData(ask, 1) != 1) {
                    return -1;
                }
                for (long received = 0; received < total;) {
                    byte[] block = port.readData(0);
                    if (block == null) {
                        return -1;
                    }
                    received += block.length;
                }
                return System.nanoTime() - start;
            };
            Rounds.Batch bareJni = count -> {
                long start = System.nanoTime();
                if (Baseline.writeArray(bareSourced, ask) != 1) {
                    return -1;
                }
                for (long received = 0; received < total;) {
                    byte[] block = Baseline.readArray(bareSourced);
                    if (block == null) {
                        return -1;
                    }
                    received += block.length;
                }
                return System.nanoTime() - start;
            };
            Rounds.run(settings.warmupRounds, 1, plain, library, bareJni);
            Rounds r = Rounds.run(settings.bulkRounds, 1, plain, library, bareJni);
            String base = "plain C recv 1 KiB " + throughput(total, r.median(0));
            rows.add(new Row(what, "readData, <= 1 KiB per call", throughput(total, r.median(1)),
                    base, Row.times(r.ratio(1, 0)), BULK_GOAL, "-"));
            rows.add(new Row(what, BARE_JNI + ", reads", throughput(total, r.median(2)), base,
                    Row.times(r.ratio(2, 0)), floor(r, 1, 2), "-"));
        } finally {
            Baseline.close(sourced);
            Baseline.close(bareSourced);
        }
        port.closeDevice();
    }

    /** What the library adds to the JNI calls it is bound to, round by round. */
    private static String floor(Rounds r, int library, int bare) {
        return String.format("(library/floor %.3fx)", r.ratio(library, bare));
    }

    private static String mebibytes(long bytes) {
        return bytes % (1 << 20) == 0 ? Long.toString(bytes >> 20)
                                      : String.format("%.2f", bytes / 1048576.0);
    }

    private static String throughput(long bytes, double ns) {
        return String.format("%.0f MiB/s", bytes / 1048576.0 / (ns / 1e9));
    }
}
