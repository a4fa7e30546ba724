// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.services.LinPortComm;
import com.zelkor.jpos.testdevice.DevicePeer;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Map;
import java.util.TreeMap;
import java.util.TreeSet;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * A trace log that cannot be written never changes what a port operation does. Each case mounts
 * a fresh tmpfs over the private /var/log of private-run.sh and breaks it.
 */
@Timeout(value = 120, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class TraceLogFaultTest {
    private static final Path LOG_DIRECTORY = Paths.get("/var/log");
    private static final Path LOG = LOG_DIRECTORY.resolve("ZkPosSoLog.txt");
    private static final byte[] MESSAGE = "\u0002PRINT 1.00\u0003".getBytes(StandardCharsets.US_ASCII);

    private final LinPortComm port = new LinPortComm();
    private boolean mounted;

    @BeforeEach
    void privateNamespace() {
        ThisProcess.requirePrivateRun();
    }

    @AfterEach
    void restoreLogDirectory() {
        port.closeDevice();
        if (mounted) {
            ThisProcess.run("umount", "-l", LOG_DIRECTORY.toString());
        }
    }

    @Test
    void readOnlyLogDirectory() throws IOException {
        mount("ro,size=64k");
        exchangeUnaffected();
        assertTrue(Files.notExists(LOG));
    }

    @Test
    void fullLogDirectory() throws IOException {
        mount("size=16k");
        Files.createFile(LOG);
        Path filler = LOG_DIRECTORY.resolve("filler");
        fill(filler);
        exchangeUnaffected();

        // Room again: the next lines reach the file without a new open.
        Files.delete(filler);
        exchange(1);
        assertTrue(Files.readString(LOG, StandardCharsets.ISO_8859_1).contains("ZkPosSo::writeData --> Begin"),
                "tracing resumes by itself once there is room");
    }

    @Test
    void logThatRefusesEveryByte() throws IOException {
        // Opening works, every write fails: the failure only shows at close.
        mount("size=64k");
        Files.createSymbolicLink(LOG, Paths.get("/dev/full"));
        exchangeUnaffected();
    }

    @Test
    void logPathTakenByADirectory() throws IOException {
        mount("size=64k");
        Files.createDirectory(LOG);
        exchangeUnaffected();
        assertTrue(Files.isDirectory(LOG));
    }

    private void mount(String options) {
        ThisProcess.run("mount", "-t", "tmpfs", "-o", options, "zkpos-broken-log", LOG_DIRECTORY.toString());
        mounted = true;
    }

    private static void fill(Path filler) throws IOException {
        byte[] block = new byte[1024];
        try (OutputStream out = Files.newOutputStream(filler)) {
            for (int i = 0; i < 1024; i++) {
                out.write(block);
                out.flush();
            }
        } catch (IOException full) {
            return;  // the disk is full, as wanted
        }
        throw new AssertionError("a 16k tmpfs took 1 MB");
    }

    // Open, many writes and reads and close with tracing at its most verbose,
    // each with the result it has with a working log; no log handle stays open.
    private void exchangeUnaffected() throws IOException {
        TreeSet<Integer> before = ThisProcess.descriptors();
        exchange(200);
        TreeMap<Integer, String> opened = ThisProcess.portOrLogSince(before);
        opened.values().removeIf(target -> !target.startsWith("/var/log") && !target.startsWith("/dev/full"));
        assertEquals(Map.of(), opened, "a failing trace log leaks no handle");
    }

    private void exchange(int cycles) throws IOException {
        try (DevicePeer peer = DevicePeer.tcp()) {
            peer.echo();
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, true, 5));
            for (int i = 0; i < cycles; i++) {
                assertEquals(MESSAGE.length, port.writeData(MESSAGE, MESSAGE.length));
                assertArrayEquals(MESSAGE, Timing.readBytes(port, MESSAGE.length));
            }
            assertEquals(0, port.closeDevice());
        }
    }
}
