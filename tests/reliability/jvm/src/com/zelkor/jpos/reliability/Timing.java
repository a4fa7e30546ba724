// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.services.LinPortComm;
import java.io.ByteArrayOutputStream;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;

/** Bounded waits for the fault suites. */
final class Timing {
    private Timing() {}

    /**
     * Runs a blocking port call and insists that it came back within the bound. The bounds are
     * generous (seconds where the expected wait is a fraction of one); they separate "returned on
     * the fault" from "sat out a much longer time-out", nothing finer.
     */
    static <T> T within(long seconds, String what, Supplier<T> call) {
        long start = System.nanoTime();
        T result = call.get();
        long elapsedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(elapsedMs < seconds * 1000, what + " took " + elapsedMs + " ms, bound " + seconds + " s");
        return result;
    }

    /** Does something once, after a delay, on a thread of its own. */
    static ScheduledExecutorService after(long millis, ThrowingAction action) {
        ScheduledExecutorService scheduler = Executors.newSingleThreadScheduledExecutor();
        scheduler.schedule(() -> {
            action.run();
            return null;
        }, millis, TimeUnit.MILLISECONDS);
        scheduler.shutdown();
        return scheduler;
    }

    /**
     * Reads until count bytes have come (a device's answer may arrive in pieces), each read within
     * 30 s; stops early at a read that brings nothing.
     */
    static byte[] readBytes(LinPortComm port, int count) {
        ByteArrayOutputStream collected = new ByteArrayOutputStream();
        while (collected.size() < count) {
            byte[] piece = within(30, "read", () -> port.readData(0));
            if (piece == null) {
                break;
            }
            collected.writeBytes(piece);
        }
        return collected.toByteArray();
    }

    interface ThrowingAction {
        void run() throws Exception;
    }
}
