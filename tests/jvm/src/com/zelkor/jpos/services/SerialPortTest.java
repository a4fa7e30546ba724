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

/** LinPortComm over a serial line: a pseudo-terminal whose other side plays the device. */
class SerialPortTest {
    private DevicePeer device;
    private final LinPortComm port = new LinPortComm();

    @BeforeAll
    static void privateRun() {
        TraceLog.requirePrivateRun();
    }

    @BeforeEach
    void open() throws Exception {
        device = DevicePeer.pty();
        port.SetDeviceTimeout(5, 5);
        assertEquals(0L, port.openDevice("RS232", device.path(), 9600, false, 0));
    }

    @AfterEach
    void close() throws Exception {
        port.closeDevice();
        device.close();
    }

    private static byte[] ascii(String text) {
        return text.getBytes(StandardCharsets.US_ASCII);
    }

    @Test
    void writesAndReadsThroughThePort() throws Exception {
        assertEquals(5L, port.writeData(ascii("hello"), 5));
        assertArrayEquals(ascii("hello"), device.receive(5, 2000));
        device.send(ascii("world"));
        assertArrayEquals(ascii("world"), port.readData(0));
        assertEquals(0L, port.closeDevice());
    }

    @Test
    void everyByteValueCrossesUnchanged() throws Exception {
        byte[] all = new byte[256];
        for (int i = 0; i < all.length; ++i) {
            all[i] = (byte) i;
        }
        assertEquals(256L, port.writeData(all, all.length));
        assertArrayEquals(all, device.receive(256, 2000));
        device.send(all);
        byte[] read = port.readData(0);
        assertArrayEquals(all, read);
    }

    @Test
    void writeSendsTheWholeArrayWhateverTheSizeSays() throws Exception {
        assertEquals(10L, port.writeData(ascii("0123456789"), 3));
        assertArrayEquals(ascii("0123456789"), device.receive(10, 2000));
    }

    @Test
    void readTimeOutReturnsNullAfterAboutTheTimeOut() {
        port.SetDeviceTimeout(5, 1);
        long start = System.nanoTime();
        assertNull(port.readData(0));
        long elapsedMs = (System.nanoTime() - start) / 1_000_000L;
        assertTrue(elapsedMs >= 900 && elapsedMs < 3000, "waited " + elapsedMs + " ms");
    }

    @Test
    void moreThan1024WaitingBytesComeAs1024ThenTheRest() throws Exception {
        byte[] sent = new byte[1500];
        for (int i = 0; i < sent.length; ++i) {
            sent[i] = (byte) ('A' + i % 26);
        }
        device.send(sent);
        byte[] first = port.readData(0);
        byte[] rest = port.readData(0);
        assertArrayEquals(Arrays.copyOfRange(sent, 0, 1024), first);
        assertArrayEquals(Arrays.copyOfRange(sent, 1024, 1500), rest);
    }

    @Test
    void bufferSizesDoNotChangeTheReadSize() throws Exception {
        port.SetDeviceBuffer(4096, 4096);
        device.send(new byte[1500]);
        // Zero bytes are data like any other.
        assertEquals(1024, port.readData(0).length);
        assertEquals(476, port.readData(0).length);
    }

    @Test
    void closeDeviceTwiceReturnsZeroBothTimes() {
        assertEquals(0L, port.closeDevice());
        assertEquals(0L, port.closeDevice());
    }

    @Test
    void writeOfNullSendsNothingAndReturnsMinusOne() throws Exception {
        assertEquals(-1L, port.writeData(null, 0));
        assertEquals(0, device.receive(1, 200).length);
    }

    @Test
    void afterCloseWriteFailsAndReadGivesNull() {
        port.SetDeviceTimeout(5, 1);
        assertEquals(0L, port.closeDevice());
        assertEquals(-1L, port.writeData(ascii("lost"), 4));
        assertNull(port.readData(0));
    }

    @Test
    void reopenAtAnotherSpeedWorks() throws Exception {
        assertEquals(0L, port.closeDevice());
        assertEquals(0L, port.openDevice("RS232", device.path(), 57600, false, 0));
        assertEquals(2L, port.writeData(ascii("ok"), 2));
        assertArrayEquals(ascii("ok"), device.receive(2, 2000));
    }

    @Test
    void missingDeviceFailsToOpen() {
        assertEquals(-1L, port.openDevice("RS232", "/dev/zkpos-no-such-tty", 9600, false, 0));
        assertEquals(-1L, port.writeData(ascii("x"), 1));
    }
}
