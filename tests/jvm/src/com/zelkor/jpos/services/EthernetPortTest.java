// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.testdevice.DevicePeer;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** LinPortComm over TCP to a device listening on 127.0.0.1:9100. */
class EthernetPortTest {
    private final LinPortComm port = new LinPortComm();

    @BeforeAll
    static void privateRun() {
        TraceLog.requirePrivateRun();
    }

    @BeforeEach
    void defaults() {
        port.SetDeviceTimeout(5, 5);
    }

    @AfterEach
    void close() {
        port.closeDevice();
    }

    private static byte[] ascii(String text) {
        return text.getBytes(StandardCharsets.US_ASCII);
    }

    private static long since(long start) {
        return (System.nanoTime() - start) / 1_000_000L;
    }

    @Test
    void writesAndReadsThroughTheConnection() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 9600, false, 0));
            device.accept(2000);
            assertEquals(5L, port.writeData(ascii("hello"), 5));
            assertArrayEquals(ascii("hello"), device.receive(5, 2000));
            device.send(ascii("world"));
            assertArrayEquals(ascii("world"), port.readData(0));
            assertEquals(0L, port.closeDevice());
            assertEquals(0, device.receive(1, 2000).length, "the library closed the connection");
        }
    }

    @Test
    void writeSendsTheWholeArrayWhateverTheSizeSays() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "localhost", 0, false, 0));
            device.accept(2000);
            assertEquals(10L, port.writeData(ascii("0123456789"), 3));
            assertArrayEquals(ascii("0123456789"), device.receive(10, 2000));
        }
    }

    @Test
    void readTimeOutSetOnTheOpenConnectionGivesNullAfterAboutTheTimeOut() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
            device.accept(2000);
            port.SetDeviceTimeout(5, 1);
            long start = System.nanoTime();
            assertNull(port.readData(0));
            long elapsedMs = since(start);
            assertTrue(elapsedMs >= 900 && elapsedMs < 3000, "waited " + elapsedMs + " ms");
        }
    }

    @Test
    void moreThan1024WaitingBytesComeAs1024ThenTheRest() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
            device.accept(2000);
            byte[] sent = new byte[1500];
            for (int i = 0; i < sent.length; ++i) {
                sent[i] = (byte) ('a' + i % 26);
            }
            device.send(sent);
            Thread.sleep(100);
            assertArrayEquals(Arrays.copyOfRange(sent, 0, 1024), port.readData(0));
            assertArrayEquals(Arrays.copyOfRange(sent, 1024, 1500), port.readData(0));
        }
    }

    @Test
    void deviceThatClosedReadsAsNullAtOnce() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
            device.accept(2000);
            device.closeConnection();
            long start = System.nanoTime();
            assertNull(port.readData(0));
            assertTrue(since(start) < 1000, "a closed connection does not wait");
        }
    }

    @Test
    void sendToADeviceThatClosedFailsAndTheJvmLivesOn() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
            device.accept(2000);
            device.closeConnection();
            long result = 0;
            for (int attempt = 0; attempt < 50 && result != -1; ++attempt) {
                result = port.writeData(ascii("anyone there?"), 13);
                Thread.sleep(20);
            }
            assertEquals(-1L, result);
        }
    }

    @Test
    void refusedConnectionFailsToOpen() {
        assertEquals(-1L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
        assertNull(port.readData(0));
        assertEquals(-1L, port.writeData(ascii("x"), 1));
    }

    @Test
    void rs232InSmallLettersTakesTheEthernetPathAndFailsTheLookup() {
        long start = System.nanoTime();
        assertEquals(-1L, port.openDevice("rs232", "COM1", 9600, false, 0));
        assertTrue(since(start) < 10000, "the lookup fails at once");
    }

    @Test
    void anyBusButRs232IsEthernet() throws Exception {
        for (String bus : new String[] {"USB", "", "Serial"}) {
            try (DevicePeer device = DevicePeer.tcp()) {
                assertEquals(0L, port.openDevice(bus, "127.0.0.1", 9600, false, 0), bus);
                device.accept(2000);
                assertEquals(0L, port.closeDevice());
            }
        }
    }
}
