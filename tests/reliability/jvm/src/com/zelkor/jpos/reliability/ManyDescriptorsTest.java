// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.services.LinPortComm;
import com.zelkor.jpos.testdevice.DevicePeer;
import java.io.FileInputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.TreeSet;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * A host process with 1100 descriptors open before the port: the port's descriptor lies above
 * FD_SETSIZE (1024), where an fd_set cannot hold it, and must still wait, read and write.
 */
@Timeout(value = 120, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class ManyDescriptorsTest {
    private static final byte[] PING = "ping".getBytes(StandardCharsets.US_ASCII);
    private static final List<FileInputStream> held = new ArrayList<>();

    private final LinPortComm port = new LinPortComm();

    @BeforeAll
    static void openManyDescriptors() throws IOException {
        for (int i = 0; i < 1100; i++) {
            held.add(new FileInputStream("/dev/null"));
        }
    }

    @AfterAll
    static void closeThem() throws IOException {
        for (FileInputStream stream : held) {
            stream.close();
        }
    }

    @BeforeEach
    void privateNamespace() {
        ThisProcess.requirePrivateRun();
        port.SetDeviceTimeout(1, 1);
    }

    @AfterEach
    void closePort() {
        port.closeDevice();
        port.SetDeviceTimeout(5, 5);
    }

    @Test
    void tcpPortAboveTheSelectLimit() throws IOException {
        try (DevicePeer peer = DevicePeer.tcp()) {
            peer.echo();
            TreeSet<Integer> before = ThisProcess.descriptors();
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, false, 0));
            assertAllAboveLimit(before);

            assertEquals(PING.length, port.writeData(PING, PING.length));
            assertArrayEquals(PING, Timing.readBytes(port, PING.length));
            assertNull(Timing.within(30, "read with nothing sent", () -> port.readData(0)));
            assertEquals(0, port.closeDevice());
        }
    }

    @Test
    void serialPortAboveTheSelectLimit() throws IOException {
        try (DevicePeer device = DevicePeer.pty()) {
            TreeSet<Integer> before = ThisProcess.descriptors();
            assertEquals(0, port.openDevice("RS232", device.path(), 9600, false, 0));
            assertAllAboveLimit(before);

            // Nothing sent: the wait runs out and the read brings nothing.
            assertNull(Timing.within(30, "read with nothing sent", () -> port.readData(0)));
            device.send(PING);
            assertArrayEquals(PING, Timing.readBytes(port, PING.length));
            assertEquals(PING.length, port.writeData(PING, PING.length));
            assertArrayEquals(PING, device.receive(PING.length, 5000));
            assertEquals(0, port.closeDevice());
        }
    }

    private static void assertAllAboveLimit(TreeSet<Integer> before) {
        TreeSet<Integer> opened = ThisProcess.descriptors();
        opened.removeAll(before);
        assertFalse(opened.isEmpty(), "the open made a descriptor");
        assertTrue(opened.first() >= 1024, "the port lies above FD_SETSIZE: " + opened);
    }
}
