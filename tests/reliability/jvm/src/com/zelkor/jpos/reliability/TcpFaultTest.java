// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.services.LinPortComm;
import com.zelkor.jpos.testdevice.DevicePeer;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/** A TCP device that fails under the library: it hangs up, resets, or stops answering. */
@Timeout(value = 120, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class TcpFaultTest {
    // Large enough that the socket buffers on both sides fill long before it is sent.
    private static final int BIG = 64 << 20;

    private final LinPortComm port = new LinPortComm();

    @BeforeEach
    void privateNamespace() {
        ThisProcess.requirePrivateRun();
    }

    @AfterEach
    void closePort() {
        port.closeDevice();
        port.SetDeviceTimeout(5, 5);
    }

    @Test
    void readReturnsNullWhenTheDeviceHangsUpDuringIt() throws Exception {
        try (DevicePeer peer = DevicePeer.tcp()) {
            port.SetDeviceTimeout(5, 60);
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, false, 0));
            peer.accept(10_000);
            Timing.after(300, peer::closeConnection);

            assertNull(Timing.within(30, "read during hang-up", () -> port.readData(0)));
            assertNull(Timing.within(30, "read after hang-up", () -> port.readData(0)));
            assertTrue(writeFailsSoon(), "writes to a device that hung up come back -1");
            assertEquals(0, port.closeDevice());
        }
    }

    @Test
    void writeEndsWhenTheDeviceHangsUpDuringIt() throws Exception {
        try (DevicePeer peer = DevicePeer.tcp()) {
            port.SetDeviceTimeout(60, 5);
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, false, 0));
            peer.accept(10_000);
            // The device never reads: the write blocks on full buffers until the
            // device closes with unread data, which resets the connection.
            Timing.after(500, peer::closeConnection);

            long written = Timing.within(30, "write during hang-up", () -> port.writeData(new byte[BIG], BIG));
            assertTrue(written == -1 || (written > 0 && written < BIG),
                    "a write cut short by the hang-up reports -1 or the part sent, not " + written);
            assertTrue(writeFailsSoon(), "writes after the hang-up come back -1");
            assertNull(Timing.within(30, "read after hang-up", () -> port.readData(0)));
        }
    }

    @Test
    void resetConnectionFailsReadsAndWrites() throws Exception {
        try (DevicePeer peer = DevicePeer.tcp()) {
            port.SetDeviceTimeout(5, 60);
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, false, 0));
            peer.accept(10_000);
            peer.resetConnection();

            // Whatever the reset left, no read waits for the 60 s time-out and
            // none returns anything.
            for (int i = 0; i < 3; i++) {
                assertNull(Timing.within(30, "read after reset", () -> port.readData(0)));
            }
            assertTrue(writeFailsSoon(), "writes after a reset come back -1");
            assertEquals(0, port.closeDevice());
        }
    }

    @Test
    void silentDeviceCostsOnlyTheTimeOuts() throws Exception {
        try (DevicePeer peer = DevicePeer.tcp()) {
            port.SetDeviceTimeout(1, 1);
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, false, 0));
            peer.accept(10_000);

            assertNull(Timing.within(30, "read from a silent device", () -> port.readData(0)));
            long written = Timing.within(30, "write to a device that never reads",
                    () -> port.writeData(new byte[BIG], BIG));
            assertTrue(written == -1 || (written > 0 && written < BIG),
                    "the send time-out cuts the write short, got " + written);
            assertNull(Timing.within(30, "second read", () -> port.readData(0)));

            // The connection itself is still sound: the device's late answer arrives.
            peer.send("late".getBytes(StandardCharsets.US_ASCII));
            assertArrayEquals("late".getBytes(StandardCharsets.US_ASCII),
                    Timing.within(30, "read of the late answer", () -> port.readData(0)));
            assertEquals(0, port.closeDevice());
        }
    }

    @Test
    void readAfterTheDeviceHungUpCleanlyReturnsWhatWasSentFirst() throws IOException {
        try (DevicePeer peer = DevicePeer.tcp()) {
            port.SetDeviceTimeout(5, 60);
            assertEquals(0, port.openDevice("Ethernet", DevicePeer.HOST, 9600, false, 0));
            peer.accept(10_000);
            peer.send("bye".getBytes(StandardCharsets.US_ASCII));
            peer.shutdownOutput();
            peer.closeConnection();
            assertArrayEquals("bye".getBytes(StandardCharsets.US_ASCII),
                    Timing.within(30, "read of the last words", () -> port.readData(0)));
            assertNull(Timing.within(30, "read at the end of the stream", () -> port.readData(0)));
        }
    }

    // A write into a connection that the device ended may still be taken by
    // the system once; the reset it provokes fails the next ones.
    private boolean writeFailsSoon() throws InterruptedException {
        byte[] bytes = "ping".getBytes(StandardCharsets.US_ASCII);
        for (int i = 0; i < 20; i++) {
            long result = Timing.within(30, "write", () -> port.writeData(bytes, bytes.length));
            if (result == -1) {
                return true;
            }
            assertEquals(bytes.length, result, "a write that passes sends everything");
            TimeUnit.MILLISECONDS.sleep(50);
        }
        return false;
    }
}
