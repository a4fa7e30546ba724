// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.regex.Pattern;

/**
 * The serial devices of this Linux machine as {@link LinPortComm} sees them: which port name
 * opens which device, which devices exist, who may open them, and which one is the system
 * console (opening that one at 7 data bits, odd parity and RTS/CTS takes the console away from
 * the machine).
 */
public final class SerialDevices {
    private static final String[][] COM_NAMES = {
        {"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}, {"COM3", "/dev/ttyS2"}, {"COM4", "/dev/ttyS3"}};
    private static final Pattern SERIAL_NAME = Pattern.compile("tty(S|USB|ACM)\\d+");

    private final Path dev;
    private final Path sysClassTty;
    private final Path consoleActive;
    private final Path procConsoles;

    SerialDevices(Path dev, Path sysClassTty, Path procConsoles) {
        this.dev = dev;
        this.sysClassTty = sysClassTty;
        this.consoleActive = sysClassTty.resolve("console").resolve("active");
        this.procConsoles = procConsoles;
    }

    /** The devices of this machine. */
    public static SerialDevices ofThisMachine() {
        return new SerialDevices(Paths.get("/dev"), Paths.get("/sys/class/tty"), Paths.get("/proc/consoles"));
    }

    /**
     * The device the Linux library opens for a port name: a name containing "COM1" to "COM4"
     * stands for /dev/ttyS0 to /dev/ttyS3 (the first of them found in the name wins, so COM10
     * is /dev/ttyS0), any other name is opened as it is, a relative one from the working
     * directory.
     */
    public static String libraryPath(String portName) {
        if (portName.contains("COM")) {
            for (String[] com : COM_NAMES) {
                if (portName.contains(com[0])) {
                    return com[1];
                }
            }
        }
        return portName;
    }

    /** One serial device and what this process may do with it. */
    public static final class Device {
        private final Path path;
        private final String owner;
        private final String group;
        private final long groupId;
        private final String mode;
        private final boolean usable;
        private final boolean systemConsole;

        Device(Path path, PosixFileAttributes attributes, long groupId, int unixMode, boolean systemConsole) {
            this.path = path;
            this.owner = attributes.owner().getName();
            this.group = attributes.group().getName();
            this.groupId = groupId;
            this.mode = typeLetter(unixMode) + PosixFilePermissions.toString(attributes.permissions());
            this.usable = Files.isReadable(path) && Files.isWritable(path);
            this.systemConsole = systemConsole;
        }

        public Path path() {
            return path;
        }

        public String owner() {
            return owner;
        }

        public String group() {
            return group;
        }

        long groupId() {
            return groupId;
        }

        /** The mode as ls shows it, for example "crw-rw----". */
        public String mode() {
            return mode;
        }

        /** Whether this process may open the device for reading and writing. */
        public boolean usable() {
            return usable;
        }

        /** Whether the kernel writes its console messages (and perhaps a login) on it. */
        public boolean systemConsole() {
            return systemConsole;
        }

        /** One line for a listing: path, owner, group, mode and this user's access. */
        public String describe() {
            return path + "  " + owner + ":" + group + " " + mode + "  "
                    + (usable ? "read/write for " : "no access for ") + UnixAccount.current().name()
                    + (systemConsole ? "  WARNING: the system console" : "");
        }
    }

    // The file types of stat(2), in the letters ls shows them with.
    private static final int[] FILE_TYPES = {0140000, 0120000, 0100000, 0060000, 0040000, 0020000, 0010000};
    private static final String TYPE_LETTERS = "sl-bdcp";
    private static final String[] TYPE_NAMES = {"a socket", "a link", "a regular file", "a block device",
        "a directory", "a character device", "a FIFO (named pipe)"};

    private static char typeLetter(int unixMode) {
        for (int i = 0; i < FILE_TYPES.length; i++) {
            if ((unixMode & 0170000) == FILE_TYPES[i]) {
                return TYPE_LETTERS.charAt(i);
            }
        }
        return '?';
    }

    /** What a mode as ls shows it stands for: "a FIFO (named pipe)" for "prw-r--r--". */
    public static String kindOf(String mode) {
        int type = mode.isEmpty() ? -1 : TYPE_LETTERS.indexOf(mode.charAt(0));
        return type < 0 ? "a file of an unknown type" : TYPE_NAMES[type];
    }

    /** The serial devices that exist: /dev/ttyS* with a port behind it, /dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*. */
    public List<Device> list() {
        List<Device> devices = new ArrayList<>();
        List<Path> candidates = new ArrayList<>();
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(dev)) {
            for (Path entry : entries) {
                String name = entry.getFileName().toString();
                if (SERIAL_NAME.matcher(name).matches() && hasPort(name)) {
                    candidates.add(entry);
                }
            }
        } catch (IOException e) {
            // No device directory: nothing to list.
        }
        Collections.sort(candidates);
        List<Path> byId = new ArrayList<>();
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(dev.resolve("serial").resolve("by-id"))) {
            entries.forEach(byId::add);
        } catch (IOException e) {
            // No USB serial adapter plugged in: the directory does not exist.
        }
        Collections.sort(byId);
        candidates.addAll(byId);
        for (Path path : candidates) {
            Device device = describe(path);
            if (device != null) {
                devices.add(device);
            }
        }
        return devices;
    }

    /**
     * Null when the file at path is a terminal: a character device that the kernel lists under
     * /sys/class/tty, or a pseudo-terminal under /dev/pts (which it lists nowhere); else what
     * it is instead, for example "a regular file". A missing file is not looked at here.
     */
    public String notATerminal(Path path) {
        Path real;
        int mode;
        try {
            real = path.toRealPath();
            mode = ((Number) Files.getAttribute(real, "unix:mode")).intValue();
        } catch (IOException | UnsupportedOperationException e) {
            return null;
        }
        char type = typeLetter(mode);
        if (type != 'c') {
            return kindOf(String.valueOf(type));
        }
        boolean pseudo = real.getParent() != null && real.getParent().equals(dev.resolve("pts"));
        if (pseudo || Files.isDirectory(sysClassTty.resolve(real.getFileName().toString()))) {
            return null;
        }
        return "a character device that is no terminal";
    }

    /** The device at path, or null when nothing is there. */
    public Device describe(Path path) {
        try {
            PosixFileAttributes attributes = Files.readAttributes(path, PosixFileAttributes.class);
            long gid = ((Number) Files.getAttribute(path, "unix:gid")).longValue();
            int mode = ((Number) Files.getAttribute(path, "unix:mode")).intValue();
            return new Device(path, attributes, gid, mode, isSystemConsole(path));
        } catch (IOException | UnsupportedOperationException e) {
            return null;
        }
    }

    /**
     * Whether the device at path is the system console: /dev/console itself, or a terminal that
     * /sys/class/tty/console/active or /proc/consoles names.
     */
    public boolean isSystemConsole(Path path) {
        String name;
        try {
            Path real = path.toRealPath();
            if (!real.startsWith(dev)) {
                return false;
            }
            name = dev.relativize(real).toString();
        } catch (IOException e) {
            return false;
        }
        if (name.equals("console")) {
            return true;
        }
        Set<String> consoles = consoleNames();
        return consoles.contains(name) || consoles.contains(name.replace("/", ""));
    }

    Set<String> consoleNames() {
        Set<String> names = new HashSet<>();
        try {
            for (String word : Files.readString(consoleActive, StandardCharsets.UTF_8).trim().split("\\s+")) {
                names.add(word);
            }
        } catch (IOException e) {
            // Not every kernel has the file; /proc/consoles below says the same.
        }
        try {
            for (String line : Files.readAllLines(procConsoles, StandardCharsets.UTF_8)) {
                String[] words = line.trim().split("\\s+");
                if (!words[0].isEmpty()) {
                    names.add(words[0]);
                }
            }
        } catch (IOException e) {
            // No /proc: only the sysfs names are known.
        }
        names.remove("");
        return names;
    }

    // The serial driver registers /dev/ttyS0 to ttyS31 whether a port is there or not; sysfs
    // gives type 0 (no UART) for those without one.
    private boolean hasPort(String name) {
        if (!name.startsWith("ttyS")) {
            return true;
        }
        try {
            return !Files.readString(sysClassTty.resolve(name).resolve("type"), StandardCharsets.US_ASCII)
                    .trim().equals("0");
        } catch (IOException e) {
            return true;
        }
    }
}
