// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

import com.zelkor.jpos.services.LinPortComm;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import jssc.SerialPort;

/**
 * Row 3: a serial device behind the peer's pseudo-terminal. One request byte, then the whole
 * reply read back: 5 bytes (no pause) and 200 bytes (the library's 80 ms pause included).
 */
final class SerialBench {
    static final int SHORT_REPLY = 5;
    static final int LONG_REPLY = 200;
    static final int WAIT_MS = 5000;

    private final LinPortComm port;
    private final Settings settings;
    private final String terminal;
    /** The library's ratio to plain C per reply size, for the rows of the other JVM. */
    final Map<Integer, Double> libraryRatios = new HashMap<>();

    SerialBench(LinPortComm port, Settings settings, String terminal) {
        this.port = port;
        this.settings = settings;
        this.terminal = terminal;
    }

    static byte request(int replySize) {
        return replySize == LONG_REPLY ? (byte) 'b' : (byte) 'a';
    }

    void replies(List<Row> rows) throws Exception {
        port.closeDevice();
        port.SetDeviceTimeout(5, 5);
        if (port.openDevice("RS232", terminal, 9600, false, 0) != 0) {
            throw new IllegalStateException("the library cannot open " + terminal);
        }
        int plain = Baseline.openSerial(terminal);
        if (plain < 0) {
            throw new IllegalStateException("plain C cannot open " + terminal);
        }
        SerialPort jssc = new SerialPort(terminal);
        String jsscTrouble = null;
        try {
            jssc.openPort();
            try {
                jssc.setParams(9600, 7, 1, SerialPort.PARITY_ODD);
            } catch (Exception e) {
                // A pseudo-terminal has no modem lines; the bytes flow all the same.
            }
        } catch (Exception e) {
            jsscTrouble = "fails to open: " + e.getMessage();
        }
        try {
            measure(rows, SHORT_REPLY, settings.shortReplyRounds, settings.shortReplies, plain, jssc,
                    jsscTrouble);
            measure(rows, LONG_REPLY, settings.longReplyRounds, 1, plain, jssc, jsscTrouble);
        } finally {
            Baseline.close(plain);
            if (jsscTrouble == null) {
                jssc.closePort();
            }
            port.closeDevice();
        }
    }

    private void measure(List<Row> rows, int replySize, int rounds, int count, int plain,
            SerialPort jssc, String jsscTrouble) throws Exception {
        byte request = request(replySize);
        byte[] requestBytes = {request};
        Rounds.Batch baseline = n -> Baseline.serialReplies(plain, n, request, replySize);
        Rounds.Batch library = n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                if (port.writeData(requestBytes, 1) != 1) {
                    return -1;
                }
                for (int received = 0; received < replySize;) {
                    byte[] reply = port.readData(0);
                    if (reply == null) {
                        return -1;
                    }
                    received += reply.length;
                }
            }
            return System.nanoTime() - start;
        };
        Rounds.Batch timedRead = n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                if (!jssc.writeBytes(requestBytes)
                        || jssc.readBytes(replySize, WAIT_MS).length != replySize) {
                    return -1;
                }
            }
            return System.nanoTime() - start;
        };
        Rounds.Batch bareJni = n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                if (Baseline.writeTerminal(plain, requestBytes) != 1) {
                    return -1;
                }
                for (int received = 0; received < replySize;) {
                    byte[] reply = Baseline.readTerminal(plain);
                    if (reply == null) {
                        return -1;
                    }
                    received += reply.length;
                }
            }
            return System.nanoTime() - start;
        };
        Rounds r = jsscTrouble == null
                ? Rounds.run(rounds, count, baseline, library, bareJni, timedRead)
                : Rounds.run(rounds, count, baseline, library, bareJni);

        String what = "3 serial reply, " + replySize + " B" + (replySize >= 8 ? " (80 ms pause)" : "");
        String base = "plain C select+FIONREAD+read " + milliseconds(r.median(0));
        libraryRatios.put(replySize, r.ratio(1, 0));
        rows.add(new Row(what, "LinPortComm writeData+readData", milliseconds(r.median(1)), base,
                Row.times(r.ratio(1, 0)), "<= 1.05x", Row.verdict(r.ratio(1, 0) <= 1.05)));
        rows.add(new Row(what, "(for comparison) bare JNI methods, same JNI calls",
                milliseconds(r.median(2)), base, Row.times(r.ratio(2, 0)),
                String.format("(library/floor %.3fx)", r.ratio(1, 2)), "-"));
        if (jsscTrouble == null) {
            double libraryToJssc = r.ratio(1, 3);
            rows.add(new Row(what, "jSSC readBytes(n, time-out)", milliseconds(r.median(3)), base,
                    Row.times(r.ratio(3, 0)),
                    String.format("library ahead (library/jSSC %.3fx)", libraryToJssc),
                    Row.verdict(libraryToJssc < 1)));
        } else {
            rows.add(new Row(what, "jSSC", jsscTrouble, base, "-", "library ahead", "-"));
        }
    }

    static String milliseconds(double ns) {
        return ns >= 1e6 ? String.format("%.2f ms", ns / 1e6) : Row.microseconds(ns);
    }
}
