// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import com.zelkor.jpos.services.SerialDevices;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.regex.Pattern;

/**
 * What a person asks {@code open} for, checked before it reaches the library: the library
 * takes any bus text (an unknown one means TCP on Linux), runs any unknown speed at 19200 and
 * looks a "host:port" up as a host name, all without a word. The console refuses those.
 */
final class PortChoice {
    /** The speeds the Linux library sets; any other runs the line at 19200. */
    static final List<Integer> LINUX_BAUD_RATES = Arrays.asList(9600, 19200, 38400, 57600);
    private static final Pattern COM_IN_SMALL_LETTERS = Pattern.compile("(?i)com[1-4]");

    final String bus;
    final String portName;
    final int baudRate;

    private PortChoice(String bus, String portName, int baudRate) {
        this.bus = bus;
        this.portName = portName;
        this.baudRate = baudRate;
    }

    /** The bus names a person may type on this platform, for the messages and the completion. */
    static List<String> busNames(boolean windows) {
        return windows ? Arrays.asList("serial", "tcp", "usb", "rs232", "ethernet")
                : Arrays.asList("serial", "tcp", "rs232", "ethernet");
    }

    static PortChoice of(boolean windows, String typedBus, String portName, String typedBaud, boolean force)
            throws CommandError {
        String bus = busName(windows, typedBus);
        if (bus.equals("RS232")) {
            int baud = typedBaud == null ? 9600 : baud(windows, typedBaud);
            if (!windows && !force) {
                checkIsATerminal(portName);
                checkNotTheSystemConsole(portName);
            }
            return new PortChoice(bus, portName, baud);
        }
        if (typedBaud != null) {
            throw bad("open: a " + (bus.equals("USB") ? "USB" : "TCP") + " device takes no baud rate ('"
                    + typedBaud + "')" + (bus.equals("Ethernet")
                            ? windows ? "; for another TCP port write host:port" : "; the Linux library always connects to TCP port 9100"
                            : ""));
        }
        if (bus.equals("Ethernet") && !windows && portName.indexOf(':') >= 0
                && portName.indexOf(':') == portName.lastIndexOf(':')) {
            throw bad("open: the Linux library takes no port in the address ('" + portName
                    + "'): it always connects to TCP port 9100, so write open tcp "
                    + portName.substring(0, portName.indexOf(':')));
        }
        return new PortChoice(bus, portName, 9600);
    }

    private static String busName(boolean windows, String typed) throws CommandError {
        switch (typed.toLowerCase(Locale.ROOT)) {
            case "serial":
            case "rs232":
                return "RS232";
            case "tcp":
            case "ethernet":
                return "Ethernet";
            case "usb":
                if (windows) {
                    return "USB";
                }
                break;
            default:
                break;
        }
        throw bad("open: unknown bus '" + typed + "'; the buses are " + (windows
                ? "serial (RS232), tcp (Ethernet) and usb" : "serial (RS232) and tcp (Ethernet)"));
    }

    private static int baud(boolean windows, String text) throws CommandError {
        int baud;
        try {
            baud = Integer.parseInt(text);
        } catch (NumberFormatException e) {
            baud = -1;
        }
        if (windows ? baud <= 0 : !LINUX_BAUD_RATES.contains(baud)) {
            throw bad("open: baud rate '" + text + "' is not one the library sets; use "
                    + (windows ? "a positive whole number" : "9600, 19200, 38400 or 57600"));
        }
        return baud;
    }

    /**
     * The library opens any path it is given as a serial line and writes to it: a file from its
     * first byte, "com1" as ./com1. Only a terminal device goes through; a path that does not
     * exist is left to the library, whose failure the diagnosis explains.
     */
    private static void checkIsATerminal(String portName) throws CommandError {
        String path = SerialDevices.libraryPath(portName);
        if (path.equals(portName) && COM_IN_SMALL_LETTERS.matcher(portName).matches()) {
            String com = portName.toUpperCase(Locale.ROOT);
            throw bad("open: '" + portName + "' is no port name (COM1 to COM4 are written in capitals): the library"
                    + " would open the file ./" + portName + ". Write " + com + " for "
                    + SerialDevices.libraryPath(com) + ", or add --force to open ./" + portName);
        }
        String kind = SerialDevices.ofThisMachine().notATerminal(Paths.get(path).toAbsolutePath());
        if (kind != null) {
            throw bad("open: " + path + " is " + kind + ", not a serial device; the library would write into it."
                    + " Add --force if it really is one");
        }
    }

    private static void checkNotTheSystemConsole(String portName) throws CommandError {
        String path = SerialDevices.libraryPath(portName);
        if (SerialDevices.ofThisMachine().isSystemConsole(Paths.get(path).toAbsolutePath())) {
            throw bad("open: " + path + (path.equals(portName) ? "" : " (" + portName + ")")
                    + " is the system console of this machine; opening it at 7 data bits, odd parity"
                    + " and RTS/CTS takes the console away. Add --force if the device really is there");
        }
    }

    private static CommandError bad(String message) {
        return new CommandError(CommandError.BAD_ARGUMENTS, message);
    }
}
