// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

import gnu.io.CommPortIdentifier;
import gnu.io.SerialPort;
import java.io.InputStream;
import java.io.OutputStream;

/**
 * Runs in a JVM of its own, so that RXTX failing or crashing on a pseudo-terminal costs the
 * benchmark one row and not the run. Times RXTX against the plain C sequence in this JVM and
 * prints, per reply size, one line: RXTX, size, RXTX median ns, baseline median ns, ratio.
 * Usage: RxtxChild TERMINAL SHORT_ROUNDS SHORT_REPLIES LONG_ROUNDS
 */
public final class RxtxChild {
    private RxtxChild() {}

    public static void main(String[] args) throws Exception {
        String terminal = args[0];
        int plain = Baseline.openSerial(terminal);
        if (plain < 0) {
            throw new IllegalStateException("plain C cannot open " + terminal);
        }
        CommPortIdentifier identifier = CommPortIdentifier.getPortIdentifier(terminal);
        SerialPort port = (SerialPort) identifier.open("zkpos-bench", SerialBench.WAIT_MS);
        try {
            port.setSerialPortParams(9600, SerialPort.DATABITS_7, SerialPort.STOPBITS_1,
                    SerialPort.PARITY_ODD);
        } catch (Exception e) {
            // A pseudo-terminal has no modem lines; the bytes flow all the same.
        }
        port.enableReceiveTimeout(SerialBench.WAIT_MS);
        InputStream in = port.getInputStream();
        OutputStream out = port.getOutputStream();
        try {
            measure(SerialBench.SHORT_REPLY, Integer.parseInt(args[1]), Integer.parseInt(args[2]),
                    plain, in, out);
            measure(SerialBench.LONG_REPLY, Integer.parseInt(args[3]), 1, plain, in, out);
        } finally {
            port.close();
            Baseline.close(plain);
        }
    }

    private static void measure(int replySize, int rounds, int count, int plain, InputStream in,
            OutputStream out) throws Exception {
        byte request = SerialBench.request(replySize);
        byte[] reply = new byte[replySize];
        Rounds.Batch baseline = n -> Baseline.serialReplies(plain, n, request, replySize);
        Rounds.Batch timedRead = n -> {
            long start = System.nanoTime();
            for (int i = 0; i < n; ++i) {
                out.write(request);
                for (int received = 0; received < replySize;) {
                    int got = in.read(reply, received, replySize - received);
                    if (got <= 0) {
                        return -1;
                    }
                    received += got;
                }
            }
            return System.nanoTime() - start;
        };
        Rounds r = Rounds.run(rounds, count, baseline, timedRead);
        System.out.printf("RXTX\t%d\t%.0f\t%.0f\t%.6f%n", replySize, r.median(1), r.median(0),
                r.ratio(1, 0));
    }
}
