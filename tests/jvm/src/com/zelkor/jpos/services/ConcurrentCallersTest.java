// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import com.zelkor.jpos.testdevice.DevicePeer;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Two Java threads on the one port with tracing at level 5, as a service with a reader and a
 * writer thread, or two writers, has them: the JVM survives, every call does its work and every
 * trace line reaches the file whole.
 */
class ConcurrentCallersTest {
    private static final int CALLS = 5000;
    private static final byte[] DATA = "abcdefgh".getBytes(StandardCharsets.US_ASCII);

    private final LinPortComm port = new LinPortComm();
    private final ExecutorService threads = Executors.newFixedThreadPool(3);

    @BeforeAll
    static void privateRun() {
        TraceLog.requirePrivateRun();
    }

    @AfterEach
    void close() throws Exception {
        port.closeDevice();
        threads.shutdownNow();
        threads.awaitTermination(10, TimeUnit.SECONDS);
    }

    private int writeMany() {
        int whole = 0;
        for (int call = 0; call < CALLS; ++call) {
            whole += port.writeData(DATA, DATA.length) == DATA.length ? 1 : 0;
        }
        return whole;
    }

    @Test
    void twoWritersWithTracingOnKeepEveryLineWhole() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            port.SetDeviceTimeout(5, 5);
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 9600, true, 5));
            device.accept(2000);
            TraceLog.clear();

            Future<byte[]> drained =
                    threads.submit(() -> device.receive(2 * CALLS * DATA.length, 50_000));
            Future<Integer> first = threads.submit(this::writeMany);
            Future<Integer> second = threads.submit(this::writeMany);
            assertEquals(CALLS, first.get(50, TimeUnit.SECONDS));
            assertEquals(CALLS, second.get(50, TimeUnit.SECONDS));
            assertEquals(2 * CALLS * DATA.length, drained.get(50, TimeUnit.SECONDS).length);

            Map<String, Integer> kinds = new TreeMap<>();
            List<String> lines = TraceLog.lines();
            for (String line : lines) {
                kinds.merge(line, 1, Integer::sum);
            }
            Map<String, Integer> expected = new TreeMap<>();
            for (String line : TraceLog.of("ZkPosSo::writeData --> Begin",
                         "ZkPosSo::WriteToEthernetPort --> Begin",
                         "ZkPosSo::WriteToEthernetPort --> strToSend (abcdefgh)",
                         "ZkPosSo::WriteToEthernetPort --> End",
                         "ZkPosSo::writeData --> pcbWritten 8", "ZkPosSo::writeData --> End")) {
                expected.put(line, 2 * CALLS);
            }
            if (!expected.equals(kinds)) {
                String found = kinds.toString();
                fail("trace lines and their counts differ: "
                        + found.substring(0, Math.min(found.length(), 2000)));
            }
        }
    }
}
