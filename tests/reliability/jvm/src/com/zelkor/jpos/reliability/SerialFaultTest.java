// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.services.LinPortComm;
import com.zelkor.jpos.testdevice.DevicePeer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;

/** A serial device (a pseudo-terminal) that hangs up, vanishes or stops taking output. */
@Timeout(value = 120, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class SerialFaultTest {
    private final LinPortComm port = new LinPortComm();

    @AfterEach
    void closePort() {
        port.closeDevice();
        port.SetDeviceTimeout(5, 5);
    }

    @Test
    void readReturnsNullWhenTheDeviceHangsUpDuringIt() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            port.SetDeviceTimeout(5, 60);
            assertEquals(0, port.openDevice("RS232", device.path(), 9600, false, 0));
            Timing.after(300, device::hangUp);

            assertNull(Timing.within(30, "read during hang-up", () -> port.readData(0)));
            assertNull(Timing.within(30, "read after hang-up", () -> port.readData(0)));
            byte[] bytes = "ping".getBytes(StandardCharsets.US_ASCII);
            assertEquals(-1, port.writeData(bytes, bytes.length));
            assertEquals(0, port.closeDevice());
            assertEquals(0, port.closeDevice());
        }
    }

    @Test
    void vanishedDeviceFailsEveryCallAndTheReopen(@TempDir Path directory) throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            // The port is known by a name of its own, as a udev link names a
            // USB adapter; unplugging takes the name and the device away.
            Path link = Files.createSymbolicLink(directory.resolve("ttyPOS"), Path.of(device.path()));
            port.SetDeviceTimeout(5, 1);
            assertEquals(0, port.openDevice("RS232", link.toString(), 19200, false, 0));
            device.send("ready".getBytes(StandardCharsets.US_ASCII));
            assertArrayEquals("ready".getBytes(StandardCharsets.US_ASCII),
                    Timing.within(30, "read before unplugging", () -> port.readData(0)));

            device.hangUp();
            Files.delete(link);

            byte[] bytes = "ping".getBytes(StandardCharsets.US_ASCII);
            assertEquals(-1, port.writeData(bytes, bytes.length));
            assertNull(Timing.within(30, "read of a vanished device", () -> port.readData(0)));
            assertEquals(0, port.closeDevice());
            assertEquals(-1, Timing.within(30, "reopen", () -> port.openDevice("RS232", link.toString(), 19200, false, 0)));
            assertEquals(-1, port.writeData(bytes, bytes.length));
            assertNull(Timing.within(30, "read after the failed reopen", () -> port.readData(0)));
            assertEquals(0, port.closeDevice());
        }
    }

    @Test
    void writeToADeviceThatStoppedReadingNeverBlocks() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            port.SetDeviceTimeout(60, 1);
            assertEquals(0, port.openDevice("RS232", device.path(), 9600, false, 0));
            // The device takes nothing: a block far beyond the terminal's
            // buffers is taken in part, at once, or refused with -1.
            int size = 4 << 20;
            long written = Timing.within(30, "write to a stalled device", () -> port.writeData(new byte[size], size));
            assertTrue(written == -1 || (written >= 0 && written < size), "got " + written);
            long again = Timing.within(30, "second write to a stalled device",
                    () -> port.writeData(new byte[size], size));
            assertTrue(again == -1 || (again >= 0 && again < size), "got " + again);

            // Then the device hangs up with all that output unread.
            device.hangUp();
            byte[] bytes = "ping".getBytes(StandardCharsets.US_ASCII);
            assertEquals(-1, Timing.within(30, "write after hang-up", () -> port.writeData(bytes, bytes.length)));
            assertNull(Timing.within(30, "read after hang-up", () -> port.readData(0)));
            assertEquals(0, port.closeDevice());
        }
    }
}
