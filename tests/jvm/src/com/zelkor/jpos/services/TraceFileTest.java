// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.testdevice.DevicePeer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The lines the library writes into /var/log/ZkPosSoLog.txt, compared line by line, without
 * their date prefixes, with the texts a reader of the trace relies on.
 */
class TraceFileTest {
    private final LinPortComm port = new LinPortComm();

    @BeforeAll
    static void privateRun() {
        TraceLog.requirePrivateRun();
    }

    @BeforeEach
    void clear() throws Exception {
        port.SetDeviceTimeout(5, 5);
        TraceLog.clear();
    }

    @AfterEach
    void close() {
        port.closeDevice();
    }

    private static byte[] ascii(String text) {
        return text.getBytes(StandardCharsets.ISO_8859_1);
    }

    /** The lines without the optional "EINPROGRESS" line of a TCP connect, which timing decides. */
    private static List<String> withoutConnectWait(List<String> lines) {
        List<String> kept = new ArrayList<>(lines);
        kept.remove("ZkPosSo::OpenEthernetPort --> EINPROGRESS in connect() - selecting");
        return kept;
    }

    @Test
    void serialOpenAtVerbosityFiveTracesEveryStep() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            String name = device.path();
            assertEquals(0L, port.openDevice("RS232", name, 9600, true, 5));
            assertEquals(TraceLog.of(
                    "ZkPosSo::openDevice --> Begin",
                    "ZkPosSo::OpenSerialPort --> Begin",
                    "ZkPosSo::OpenSerialPort --> Port Name " + name,
                    "ZkPosSo::ConvertPort --> Begin",
                    "ZkPosSo::ConvertPort --> strPort " + name,
                    "ZkPosSo::ConvertPort --> End",
                    "ZkPosSo::OpenSerialPort --> End",
                    "ZkPosSo::openDevice --> m_iDeviceType 1",
                    "ZkPosSo::openDevice --> End"), TraceLog.lines());
        }
    }

    @Test
    void verbosityThreeKeepsOnlyTheValues() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            String name = device.path();
            assertEquals(0L, port.openDevice("RS232", name, 9600, true, 3));
            assertEquals(TraceLog.of(
                    "ZkPosSo::OpenSerialPort --> Port Name " + name,
                    "ZkPosSo::ConvertPort --> strPort " + name,
                    "ZkPosSo::openDevice --> m_iDeviceType 1"), TraceLog.lines());
        }
    }

    @Test
    void debugOffWritesNothingWhateverTheVerbosity() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            assertEquals(0L, port.openDevice("RS232", device.path(), 9600, false, 5));
            assertEquals(3L, port.writeData(ascii("abc"), 3));
            device.send(ascii("xyz"));
            assertNotNull(port.readData(0));
            assertEquals(0L, port.closeDevice());
            assertFalse(TraceLog.exists(), "no trace file with debug off");
        }
    }

    @Test
    void serialSessionTracesWritesReadsTimeOutAndClose() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            assertEquals(0L, port.openDevice("RS232", device.path(), 9600, true, 5));
            TraceLog.clear();
            port.SetDeviceTimeout(5, 1);
            assertEquals(5L, port.writeData(ascii("hello"), 5));
            device.send(ascii("abc"));
            assertNotNull(port.readData(0));
            assertNull(port.readData(0));
            port.SetDeviceBuffer(1000, 1000);
            assertEquals(0L, port.closeDevice());
            assertEquals(TraceLog.of(
                    "ZkPosSo::SetDeviceTimeout --> Begin",
                    "ZkPosSo::SetDeviceTimeout --> End",
                    "ZkPosSo::writeData --> Begin",
                    "ZkPosSo::WriteToSerialPort --> Begin",
                    "ZkPosSo::WriteToSerialPort --> strToSend (hello)",
                    "ZkPosSo::WriteToSerialPort --> End",
                    "ZkPosSo::writeData --> pcbWritten 5",
                    "ZkPosSo::writeData --> End",
                    "ZkPosSo::readData --> Begin",
                    "ZkPosSo::ReadFromSerialPort --> Begin",
                    "ZkPosSo::ReadFromSerialPort --> strRead (abc) 3 ",
                    "ZkPosSo::ReadFromSerialPort --> End",
                    "ZkPosSo::readData --> iResult 3",
                    "ZkPosSo::readData --> Begin",
                    "ZkPosSo::ReadFromSerialPort --> Begin",
                    "ZkPosSo::ReadFromSerialPort --> strRead () 0 ",
                    "ZkPosSo::ReadFromSerialPort --> End",
                    "ZkPosSo::readData --> iResult 0",
                    "ZkPosSo::readData --> End",
                    "ZkPosSo::SetDeviceBuffer --> Begin",
                    "ZkPosSo::SetDeviceBuffer --> End",
                    "ZkPosSo::closeDevice --> Begin",
                    "ZkPosSo::closeDevice --> End"), TraceLog.lines());
        }
    }

    @Test
    void framedDataShowsItsControlBytesInHex() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            assertEquals(0L, port.openDevice("RS232", device.path(), 9600, true, 2));
            TraceLog.clear();
            assertEquals(5L, port.writeData(ascii("\u0002ABC\u0003"), 5));
            assertEquals(4L, port.writeData(new byte[] {0x06, 0x09, (byte) 0x80, (byte) 0xff}, 4));
            assertEquals(4L, port.writeData(ascii("A\r\nB"), 4));
            // Without a framing byte the text goes out as it is, CR LF included.
            assertEquals(TraceLog.of(
                    "ZkPosSo::WriteToSerialPort --> strToSend (|0x02|ABC|0x03|)",
                    "ZkPosSo::WriteToSerialPort --> strToSend (|0x06||0x09||0x80||0xff|)",
                    "ZkPosSo::WriteToSerialPort --> strToSend (A\r",
                    "B)"), rawLines());
        }
    }

    /** The lines as they are, date prefixes stripped where present. */
    private static List<String> rawLines() throws Exception {
        String text = new String(java.nio.file.Files.readAllBytes(TraceLog.FILE),
                StandardCharsets.ISO_8859_1);
        List<String> lines = new ArrayList<>();
        for (String line : text.substring(0, text.length() - 1).split("\n", -1)) {
            lines.add(line.replaceFirst(
                    "^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] ", ""));
        }
        return lines;
    }

    @Test
    void ethernetSessionTracesOpenTimeOutAndClose() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 9600, true, 5));
            device.accept(2000);
            port.SetDeviceTimeout(5, 1);
            assertNull(port.readData(0));
            assertEquals(0L, port.closeDevice());
            assertEquals(TraceLog.of(
                    "ZkPosSo::openDevice --> Begin",
                    "ZkPosSo::OpenEthernetPort --> Port Name 127.0.0.1",
                    "ZkPosSo::OpenEthernetPort --> Begin",
                    "ZkPosSo::OpenEthernetPort --> End",
                    "ZkPosSo::openDevice --> m_iDeviceType 2",
                    "ZkPosSo::openDevice --> End",
                    "ZkPosSo::SetDeviceTimeout --> Begin",
                    "ZkPosSo::SetDeviceTimeout --> End",
                    "ZkPosSo::readData --> Begin",
                    "ZkPosSo::ReadFromEthernetPort --> Begin",
                    "ZkPosSo::ReadFromEthernetPort --> strRead ()",
                    "ZkPosSo::ReadFromEthernetPort --> End",
                    "ZkPosSo::readData --> iResult -1",
                    "ZkPosSo::readData --> End",
                    "ZkPosSo::closeDevice --> Begin",
                    "ZkPosSo::closeDevice --> End"), withoutConnectWait(TraceLog.lines()));
        }
    }

    @Test
    void ethernetWriteAndReadShowTheirData() throws Exception {
        try (DevicePeer device = DevicePeer.tcp()) {
            assertEquals(0L, port.openDevice("Ethernet", "127.0.0.1", 9600, true, 3));
            device.accept(2000);
            TraceLog.clear();
            assertEquals(4L, port.writeData(ascii("ping"), 4));
            device.send(ascii("pong"));
            assertNotNull(port.readData(0));
            assertEquals(TraceLog.of(
                    "ZkPosSo::WriteToEthernetPort --> strToSend (ping)",
                    "ZkPosSo::writeData --> pcbWritten 4",
                    "ZkPosSo::ReadFromEthernetPort --> strRead (pong)",
                    "ZkPosSo::readData --> iResult 4"), TraceLog.lines());
        }
    }

    @Test
    void refusedConnectionTracesItsReason() throws Exception {
        assertEquals(-1L, port.openDevice("Ethernet", "127.0.0.1", 9600, true, 5));
        List<String> lines = withoutConnectWait(TraceLog.lines());
        assertEquals(6, lines.size(), lines.toString());
        assertEquals("ZkPosSo::openDevice --> Begin", lines.get(0));
        assertEquals("ZkPosSo::OpenEthernetPort --> Port Name 127.0.0.1", lines.get(1));
        assertEquals("ZkPosSo::OpenEthernetPort --> Begin", lines.get(2));
        assertTrue(lines.get(3).equals("ZkPosSo::OpenEthernetPort --> Error in connection()")
                        || lines.get(3).equals("ZkPosSo::OpenEthernetPort --> Error to connect socket"),
                lines.get(3));
        assertEquals("ZkPosSo::openDevice --> m_iDeviceType 2", lines.get(4));
        assertEquals("ZkPosSo::openDevice --> End", lines.get(5));
    }

    @Test
    void rs232InSmallLettersTracesAFailedHostLookup() throws Exception {
        assertEquals(-1L, port.openDevice("rs232", "COM1", 9600, true, 5));
        assertEquals(TraceLog.of(
                "ZkPosSo::openDevice --> Begin",
                "ZkPosSo::OpenEthernetPort --> Port Name COM1",
                "ZkPosSo::OpenEthernetPort --> Begin",
                "ZkPosSo::OpenEthernetPort --> Wrong hostname",
                "ZkPosSo::openDevice --> m_iDeviceType 2",
                "ZkPosSo::openDevice --> End"), TraceLog.lines());
    }

    @Test
    void serialNameLeftAsARelativePathFailsWithOpenPortError() throws Exception {
        // COM5 is not mapped: it is opened as a file of the working directory.
        assertEquals(-1L, port.openDevice("RS232", "COM5", 9600, true, 3));
        assertEquals(TraceLog.of(
                "ZkPosSo::OpenSerialPort --> Port Name COM5",
                "ZkPosSo::ConvertPort --> strPort COM5",
                "ZkPosSo::OpenSerialPort --> Open Port error",
                "ZkPosSo::openDevice --> m_iDeviceType 1"), TraceLog.lines());
    }

    @Test
    void everyOpenAppendsToTheTraceFile() throws Exception {
        try (DevicePeer device = DevicePeer.pty()) {
            assertEquals(0L, port.openDevice("RS232", device.path(), 9600, true, 3));
            assertEquals(0L, port.openDevice("RS232", device.path(), 9600, true, 3));
            List<String> lines = TraceLog.lines();
            assertEquals(6, lines.size(), lines.toString());
            assertEquals(lines.subList(0, 3), lines.subList(3, 6));
        }
    }
}
