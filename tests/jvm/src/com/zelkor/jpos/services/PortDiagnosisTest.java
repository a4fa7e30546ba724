// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelkor.jpos.testdevice.DevicePeer;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.GroupPrincipal;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * What PortDiagnosis answers after a failed open, each case set up for real: pseudo-terminals
 * with the owner, group and mode of a serial device, a process holding one for itself, the
 * unprivileged user nobody, a private /var/log, and sockets on the loopback.
 */
class PortDiagnosisTest {
    private static final int DIALOUT = 20;
    // TIOCEXCL on x86 and x86-64: a terminal that refuses every further open but root's.
    private static final String HOLD_EXCLUSIVELY =
            "open(my $t, '+<', $ARGV[0]) or die \"$!\\n\"; ioctl($t, 0x540C, 0) or die \"$!\\n\";"
            + " $| = 1; print \"held\\n\"; sleep 30;";

    @BeforeAll
    static void privateRun() {
        TraceLog.requirePrivateRun();
    }

    private static String factsOf(PortDiagnosis diagnosis) {
        return String.join("\n", diagnosis.facts());
    }

    private static void assertHas(String text, String expected) {
        assertTrue(text.contains(expected), "no \"" + expected + "\" in:\n" + text);
    }

    private static void setOwnership(Path path, String user, String group, String mode) throws IOException {
        PosixFileAttributeView view = Files.getFileAttributeView(path, PosixFileAttributeView.class);
        UserPrincipal owner = path.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(user);
        GroupPrincipal groupPrincipal =
                path.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByGroupName(group);
        view.setOwner(owner);
        view.setGroup(groupPrincipal);
        view.setPermissions(PosixFilePermissions.fromString(mode));
    }

    @Test
    void missingDeviceIsNamedWithTheSerialDevicesThatExist(@TempDir Path root) throws IOException {
        Path dev = Files.createDirectories(root.resolve("dev"));
        for (String name : new String[] {"ttyS0", "ttyS1", "ttyUSB3", "ttyACM0", "tty1", "ttyUSBx"}) {
            Files.createFile(dev.resolve(name));
        }
        Path byId = Files.createDirectories(dev.resolve("serial/by-id"));
        Files.createSymbolicLink(byId.resolve("usb-Maker_Printer-if00"), Paths.get("../../ttyUSB3"));
        Path sys = root.resolve("sys/class/tty");
        Files.createDirectories(sys.resolve("ttyS0"));
        Files.createDirectories(sys.resolve("ttyS1"));
        Files.writeString(sys.resolve("ttyS0/type"), "4\n");
        Files.writeString(sys.resolve("ttyS1/type"), "0\n");
        Files.createDirectories(sys.resolve("console"));
        Files.writeString(sys.resolve("console/active"), "tty0 ttyS0\n");
        SerialDevices devices = new SerialDevices(dev, sys, root.resolve("no-proc-consoles"));

        PortDiagnosis diagnosis =
                SerialDiagnosis.diagnose(dev.resolve("ttyUSB0").toString(), devices, UnixAccount.current());
        assertEquals(PortDiagnosis.Finding.NO_SUCH_DEVICE, diagnosis.finding());
        assertHas(diagnosis.sentence(), dev.resolve("ttyUSB0") + " does not exist");
        String facts = factsOf(diagnosis);
        assertHas(facts, "serial devices here: " + dev.resolve("ttyACM0") + ", "
                + dev.resolve("ttyS0") + " (the system console), " + dev.resolve("ttyUSB3") + ", "
                + byId.resolve("usb-Maker_Printer-if00"));
        // A ttyS without a UART behind it, and names that only look like serial devices, stay out.
        assertFalse(facts.contains("ttyS1"), facts);
        assertFalse(facts.contains("tty1"), facts);
        assertFalse(facts.contains("ttyUSBx"), facts);
    }

    @Test
    void portNamesMapToDevicesLikeTheLibrary() {
        // Only names are compared here; no device is opened.
        String uart = "/dev/tty" + "S";
        String[][] cases = {{"COM1", uart + 0}, {"COM4", uart + 3}, {"COM10", uart + 0}, {"COM21", uart + 1},
            {"COM5", "COM5"}, {"com1", "com1"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
        for (String[] c : cases) {
            assertEquals(c[1], SerialDevices.libraryPath(c[0]), c[0]);
        }
        PortDiagnosis relative = PortDiagnosis.afterFailedOpen("RS232", "COM5", 5);
        assertEquals(PortDiagnosis.Finding.NO_SUCH_DEVICE, relative.finding());
        assertHas(factsOf(relative), "\"COM5\" is not one of COM1 to COM4");
    }

    @Test
    void systemConsoleIsKnownFromSysfsAndProcConsoles(@TempDir Path root) throws IOException {
        Path dev = Files.createDirectories(root.resolve("dev"));
        Files.createFile(dev.resolve("ttyS0"));
        Files.createFile(dev.resolve("hvc0"));
        Files.createFile(dev.resolve("ttyUSB0"));
        Path sys = Files.createDirectories(root.resolve("sys/class/tty/console"));
        Files.writeString(sys.resolve("active"), "ttyS0\n");
        Path consoles = Files.writeString(root.resolve("consoles"), "hvc0                 -W- (EC p  )    229:0\n");
        SerialDevices devices = new SerialDevices(dev, root.resolve("sys/class/tty"), consoles);
        assertTrue(devices.isSystemConsole(dev.resolve("ttyS0")));
        assertTrue(devices.isSystemConsole(dev.resolve("hvc0")));
        assertFalse(devices.isSystemConsole(dev.resolve("ttyUSB0")));
    }

    @Test
    void permissionDeniedNamesOwnerGroupModeAndTheWayIn() throws Exception {
        try (DevicePeer peer = DevicePeer.pty()) {
            Path slave = Paths.get(peer.path());
            setOwnership(slave, "root", "dialout", "rw-rw----");
            String output = AsAnotherUser.diagnose(new int[0], "RS232", slave.toString(), 5, 0);
            assertHas(output, "open -1");
            assertHas(output, "finding PERMISSION_DENIED");
            assertHas(output, "The user nobody may not open " + slave + ".");
            assertHas(output, slave + " is root:dialout crw-rw----");
            assertHas(output, "nobody is not in the group dialout");
            assertHas(output, "sudo usermod -aG dialout nobody");
            assertHas(output, "SupplementaryGroups=dialout");

            // In the group, but the device keeps the group out.
            setOwnership(slave, "root", "dialout", "rw-------");
            output = AsAnotherUser.diagnose(new int[] {DIALOUT}, "RS232", slave.toString(), 5, 0);
            assertHas(output, "finding PERMISSION_DENIED");
            assertHas(output, "nobody is in the group dialout, but the group may not read and write it");
            assertHas(output, "chmod g+rw " + slave);

            // Groups that are no way in: root (a device only root may open) and tty (a getty line).
            String[][] noGroupAdvice = {{"root", "rw-------", "only root may open it"},
                {"tty", "rw--w----", "the group tty marks a terminal of a login or a getty"}};
            for (String[] c : noGroupAdvice) {
                setOwnership(slave, "root", c[0], c[1]);
                output = AsAnotherUser.diagnose(new int[0], "RS232", slave.toString(), 5, 0);
                assertHas(output, "finding PERMISSION_DENIED");
                assertHas(output, c[2]);
                assertFalse(output.contains("usermod") || output.contains("SupplementaryGroups"), output);
            }

            // In the group and the group may: the open works and nothing needs explaining.
            setOwnership(slave, "root", "dialout", "rw-rw----");
            output = AsAnotherUser.diagnose(new int[] {DIALOUT}, "RS232", slave.toString(), 5, 0);
            assertHas(output, "open 0");
            assertFalse(output.contains("finding"), output);
        }
    }

    @Test
    void portHeldByAnotherProgramNamesTheProcess() throws Exception {
        try (DevicePeer peer = DevicePeer.pty()) {
            Path slave = Paths.get(peer.path());
            setOwnership(slave, AsAnotherUser.USER, "root", "rw-------");
            List<String> command = AsAnotherUser.setpriv();
            command.addAll(List.of("perl", "-e", HOLD_EXCLUSIVELY, slave.toString()));
            Process holder = new ProcessBuilder(command).redirectErrorStream(true).start();
            try {
                BufferedReader said = new BufferedReader(
                        new InputStreamReader(holder.getInputStream(), StandardCharsets.UTF_8));
                assertEquals("held", said.readLine(), "the holder could not take the terminal");
                String output = AsAnotherUser.diagnose(new int[0], "RS232", slave.toString(), 5, 0);
                assertHas(output, "open -1");
                assertHas(output, "finding HELD_BY_ANOTHER_PROCESS");
                assertHas(output, slave + " is held by another program: process " + holder.pid() + " (perl).");
            } finally {
                holder.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
            }
        }
    }

    @Test
    void holderOfAnotherUserIsHiddenAndSaidSo() throws Exception {
        try (DevicePeer peer = DevicePeer.pty()) {
            Path slave = Paths.get(peer.path());
            setOwnership(slave, AsAnotherUser.USER, "root", "rw-------");
            // Root's exclusive hold keeps nobody out, and /proc hides root's descriptors from nobody.
            Process holder = new ProcessBuilder("perl", "-e", HOLD_EXCLUSIVELY, slave.toString())
                    .redirectErrorStream(true).start();
            try {
                BufferedReader said = new BufferedReader(
                        new InputStreamReader(holder.getInputStream(), StandardCharsets.UTF_8));
                assertEquals("held", said.readLine(), "the holder could not take the terminal");
                String output = AsAnotherUser.diagnose(new int[0], "RS232", slave.toString(), 5, 0);
                assertHas(output, "open -1");
                assertHas(output, "finding SERIAL_UNEXPLAINED");
                assertHas(output, slave + " exists and nobody may open it, yet the open failed.");
                assertHas(output, "another user's program may hold it; /proc hides their descriptors from nobody");
            } finally {
                holder.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
            }
        }
    }

    @Test
    void groupListedButNotYetHeldAsksForANewLogin(@TempDir Path scratch) throws Exception {
        // This test's mount namespace gets an /etc/group that lists nobody in dialout; the
        // diagnosing process still runs without the group, as after usermod without a new login.
        Path group = scratch.resolve("group");
        StringBuilder edited = new StringBuilder();
        for (String line : Files.readAllLines(Paths.get("/etc/group"), StandardCharsets.UTF_8)) {
            if (line.startsWith("dialout:")) {
                line += (line.endsWith(":") ? "" : ",") + AsAnotherUser.USER;
            }
            edited.append(line).append('\n');
        }
        Files.writeString(group, edited);
        Files.setPosixFilePermissions(group, PosixFilePermissions.fromString("rw-r--r--"));
        Files.setPosixFilePermissions(scratch, PosixFilePermissions.fromString("rwxr-xr-x"));
        assertEquals(0, run("mount", "--bind", group.toString(), "/etc/group"), "cannot stand in for /etc/group");
        try (DevicePeer peer = DevicePeer.pty()) {
            Path slave = Paths.get(peer.path());
            setOwnership(slave, "root", "dialout", "rw-rw----");
            String output = AsAnotherUser.diagnose(new int[0], "RS232", slave.toString(), 5, 0);
            assertHas(output, "finding PERMISSION_DENIED");
            assertHas(output, "nobody is listed in the group dialout in /etc/group, but this process does not have"
                    + " the group yet: log out and in again, or restart the service");
            assertFalse(output.contains("usermod"), output);
        } finally {
            run("umount", "/etc/group");
        }
    }

    private static int run(String... command) throws IOException, InterruptedException {
        Process process = new ProcessBuilder(command).inheritIO().start();
        assertTrue(process.waitFor(10, TimeUnit.SECONDS), String.join(" ", command) + " did not end");
        return process.exitValue();
    }

    @Test
    void traceFileThatTheUserCannotWriteIsReported() throws Exception {
        TraceLog.clear();
        String output = AsAnotherUser.diagnose(new int[0], "RS232", "/dev/zkpos-no-such-port", 5, 5);
        assertHas(output, "finding NO_SUCH_DEVICE");
        assertHas(output, "trace TRACE_FILE_NOT_WRITABLE");
        assertHas(output, "Tracing is on, but the user nobody cannot write /var/log/ZkPosSoLog.txt");
        assertHas(output, "/var/log is root:root rwxr-xr-x, and the file does not exist yet");
        assertHas(output, "touch /var/log/ZkPosSoLog.txt && chown nobody /var/log/ZkPosSoLog.txt");
        assertFalse(TraceLog.exists(), "the library wrote a trace after all");

        // Done as the fact says, the trace reaches the file.
        Files.createFile(TraceLog.FILE);
        setOwnership(TraceLog.FILE, AsAnotherUser.USER, "root", "rw-r--r--");
        output = AsAnotherUser.diagnose(new int[0], "RS232", "/dev/zkpos-no-such-port", 5, 5);
        assertHas(output, "trace file writable");
        assertHas(Files.readString(TraceLog.FILE), "Open Port error");
        // Root may write /var/log, so this JVM sees nothing to report.
        assertNull(PortDiagnosis.checkTraceFile());
        TraceLog.clear();
    }

    @Test
    void refusedConnectionIsTold() {
        LinPortComm port = new LinPortComm();
        port.SetDeviceTimeout(2, 2);
        assertEquals(-1L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
        PortDiagnosis diagnosis = PortDiagnosis.afterFailedOpen("Ethernet", "127.0.0.1", 2);
        assertEquals(PortDiagnosis.Finding.CONNECTION_REFUSED, diagnosis.finding());
        assertEquals("The connection to 127.0.0.1 port 9100 was refused.", diagnosis.sentence());
    }

    @Test
    void unknownHostAndAddressWithAPortAreTold() {
        LinPortComm port = new LinPortComm();
        assertEquals(-1L, port.openDevice("Ethernet", "zkpos-no-such-host.invalid", 0, false, 0));
        PortDiagnosis unknown = PortDiagnosis.afterFailedOpen("Ethernet", "zkpos-no-such-host.invalid", 5);
        assertEquals(PortDiagnosis.Finding.HOST_UNKNOWN, unknown.finding());
        assertHas(unknown.sentence(), "\"zkpos-no-such-host.invalid\" does not resolve");

        try (ServerSocket device = new ServerSocket()) {
            device.bind(new InetSocketAddress("127.0.0.1", 9101));
            // Even with a device on 9101 the library cannot reach it: it looks the whole text up.
            assertEquals(-1L, port.openDevice("Ethernet", "127.0.0.1:9101", 0, false, 0));
        } catch (IOException e) {
            throw new AssertionError(e);
        }
        PortDiagnosis withPort = PortDiagnosis.afterFailedOpen("Ethernet", "127.0.0.1:9101", 5);
        assertEquals(PortDiagnosis.Finding.ADDRESS_HAS_PORT, withPort.finding());
        assertHas(factsOf(withPort), "always connects to TCP port 9100: give 127.0.0.1");
    }

    @Test
    void lowerCaseSerialBusIsExplainedAsTheTcpItBecomes() {
        PortDiagnosis diagnosis = PortDiagnosis.afterFailedOpen("rs232", "COM1", 5);
        assertEquals(PortDiagnosis.Finding.HOST_UNKNOWN, diagnosis.finding());
        assertHas(diagnosis.facts().get(0), "the bus \"rs232\" is not \"RS232\" in capitals");
    }

    @Test
    void deviceThatDoesNotAnswerWithinTheTimeOutIsTold() throws Exception {
        // A listener whose queue is full lets new connections go unanswered, as a device behind
        // a dropping firewall does.
        List<Socket> queued = new ArrayList<>();
        try (ServerSocket device = new ServerSocket(9100, 1, InetAddress.getByName("127.0.0.1"))) {
            for (int i = 0; i < 10; i++) {
                Socket filler = new Socket();
                queued.add(filler);
                try {
                    filler.connect(device.getLocalSocketAddress(), 500);
                } catch (SocketTimeoutException e) {
                    break;
                }
            }
            LinPortComm port = new LinPortComm();
            port.SetDeviceTimeout(1, 1);
            assertEquals(-1L, port.openDevice("Ethernet", "127.0.0.1", 0, false, 0));
            long start = System.nanoTime();
            PortDiagnosis diagnosis = PortDiagnosis.afterFailedOpen("Ethernet", "127.0.0.1", 1);
            long tookMs = (System.nanoTime() - start) / 1_000_000;
            assertEquals(PortDiagnosis.Finding.NO_ANSWER, diagnosis.finding());
            assertEquals("Nothing answered on 127.0.0.1 port 9100 within 1 s.", diagnosis.sentence());
            assertTrue(tookMs < 5000, "the check waited " + tookMs + " ms");

            PortDiagnosis poll = PortDiagnosis.afterFailedOpen("Ethernet", "127.0.0.1", 0);
            assertHas(factsOf(poll), "makes the connect a poll");

            // The kernel's retries end before a long time-out: still no answer, never "refused".
            Path retries = Paths.get("/proc/sys/net/ipv4/tcp_syn_retries");
            String saved = Files.readString(retries);
            Files.writeString(retries, "1");
            try {
                PortDiagnosis dropped = PortDiagnosis.afterFailedOpen("Ethernet", "127.0.0.1", 30);
                assertEquals(PortDiagnosis.Finding.NO_ANSWER, dropped.finding(), dropped.toString());
                assertHas(dropped.sentence(), "timed out");
            } finally {
                Files.writeString(retries, saved);
            }
        } finally {
            for (Socket socket : queued) {
                socket.close();
            }
        }
    }

    @Test
    void deviceThatAnswersNowIsToldSo() throws Exception {
        try (ServerSocket device = new ServerSocket(9100, 5, InetAddress.getByName("127.0.0.1"))) {
            assertTrue(device.isBound());
            PortDiagnosis diagnosis = PortDiagnosis.afterFailedOpen("Ethernet", "localhost", 2);
            assertEquals(PortDiagnosis.Finding.ANSWERS_NOW, diagnosis.finding());
            assertHas(factsOf(diagnosis), "localhost is 127.0.0.1");
        }
    }

    @Test
    void silentNameServerIsToldApartFromAnUnknownName(@TempDir Path scratch) throws Exception {
        // A name server on this namespace's loopback that takes every question and answers none.
        try (DatagramSocket silent = new DatagramSocket(new InetSocketAddress("127.0.0.1", 53))) {
            assertTrue(silent.isBound());
            Path resolvConf = scratch.resolve("resolv.conf");
            Files.writeString(resolvConf, "nameserver 127.0.0.1\n");
            assertEquals(0, run("mount", "--bind", resolvConf.toString(), "/etc/resolv.conf"));
            try {
                PortDiagnosis diagnosis = PortDiagnosis.afterFailedOpen("Ethernet", "printer.zkpos-test.example", 5);
                assertEquals(PortDiagnosis.Finding.NAME_SERVER_SILENT, diagnosis.finding(), diagnosis.toString());
                assertHas(diagnosis.sentence(), "No name server answered for \"printer.zkpos-test.example\"");
            } finally {
                run("umount", "/etc/resolv.conf");
            }
        }
    }

    @Test
    void everyInputGetsASentence() {
        PortDiagnosis nul = PortDiagnosis.afterFailedOpen("RS232", "/dev/zkpos-no-such-port\0x", 5);
        assertEquals(PortDiagnosis.Finding.NO_SUCH_DEVICE, nul.finding());
        assertHas(nul.sentence(), "holds a NUL character");
        assertEquals(PortDiagnosis.Finding.HOST_UNKNOWN,
                PortDiagnosis.afterFailedOpen("Ethernet", "host\0", 5).finding());
        PortDiagnosis forever = PortDiagnosis.afterFailedOpen("Ethernet", "127.0.0.1", Long.MAX_VALUE);
        assertEquals(PortDiagnosis.Finding.CONNECTION_REFUSED, forever.finding(), forever.toString());
    }

    @Test
    void fileTypesAreReadNotGuessed(@TempDir Path scratch) throws Exception {
        Path fifo = scratch.resolve("fifo");
        assertEquals(0, run("mkfifo", fifo.toString()));
        SerialDevices.Device device = SerialDevices.ofThisMachine().describe(fifo);
        assertTrue(device.mode().startsWith("p"), device.mode());
        assertHas(factsOf(SerialDiagnosis.diagnose(fifo.toString(), SerialDevices.ofThisMachine(),
                UnixAccount.current())), fifo + " is a FIFO (named pipe), not a character device");
        // The trace path must be a regular file, or absent in a writable folder.
        Path directory = Files.createDirectory(scratch.resolve("trace-directory"));
        Path broken = Files.createSymbolicLink(scratch.resolve("trace-link"), scratch.resolve("gone"));
        for (Path trace : List.of(directory, broken)) {
            PortDiagnosis diagnosis = TraceFileDiagnosis.check(trace, UnixAccount.current());
            assertTrue(diagnosis != null && diagnosis.finding() == PortDiagnosis.Finding.TRACE_FILE_NOT_WRITABLE,
                    trace + " passed as a trace file");
        }
        assertNull(TraceFileDiagnosis.check(scratch.resolve("absent"), UnixAccount.current()));
    }
}
