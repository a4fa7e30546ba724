// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/** Why a serial device did not open: missing, forbidden to this user, or held by another process. */
final class SerialDiagnosis {
    private SerialDiagnosis() {}

    static PortDiagnosis diagnose(String portName, SerialDevices devices, UnixAccount account) {
        String opened = SerialDevices.libraryPath(portName);
        List<String> facts = new ArrayList<>();
        if (!opened.equals(portName)) {
            facts.add("the library opens " + opened + " for \"" + portName + "\"");
        } else if (!opened.startsWith("/")) {
            facts.add("\"" + portName + "\" is not one of COM1 to COM4, so the library opened it as a path "
                    + "relative to the working directory " + System.getProperty("user.dir"));
        }
        Path path = Paths.get(opened).toAbsolutePath();
        SerialDevices.Device device = devices.describe(path);
        if (device == null) {
            return missing(path, devices, facts);
        }
        if (!device.usable()) {
            return forbidden(device, account, facts);
        }
        PortHolders holders = PortHolders.of(path);
        if (!holders.holders().isEmpty()) {
            facts.add("a program that opens a port for itself alone makes every other open fail; close "
                    + "it (or stop its service) and open again");
            return new PortDiagnosis(PortDiagnosis.Finding.HELD_BY_ANOTHER_PROCESS,
                    path + " is held by another program: " + String.join(", ", holders.holders()) + ".", facts);
        }
        facts.add(device.owner() + ":" + device.group() + " " + device.mode() + ", and "
                + account.name() + " may read and write it");
        if (holders.hidden() > 0) {
            facts.add("another user's program may hold it; /proc hides their descriptors from "
                    + account.name() + ": as root, ls -l /proc/*/fd 2>/dev/null | grep " + path.getFileName()
                    + " names it");
        }
        if (!device.mode().startsWith("c")) {
            facts.add(path + " is " + SerialDevices.kindOf(device.mode()) + ", not a character device, so it is no "
                    + "serial port");
        }
        return new PortDiagnosis(PortDiagnosis.Finding.SERIAL_UNEXPLAINED,
                path + " exists and " + account.name() + " may open it, yet the open failed.", facts);
    }

    private static PortDiagnosis missing(Path path, SerialDevices devices, List<String> facts) {
        if (Files.isSymbolicLink(path) && !Files.exists(path)) {
            facts.add(path + " is a link to a device that is gone (unplugged?)");
        } else if (Files.exists(path, LinkOption.NOFOLLOW_LINKS)) {
            facts.add(path + " cannot be looked at by this user");
        }
        List<String> present = new ArrayList<>();
        for (SerialDevices.Device device : devices.list()) {
            present.add(device.path() + (device.systemConsole() ? " (the system console)" : ""));
        }
        facts.add(present.isEmpty()
                ? "this machine shows no serial devices (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*)"
                : "serial devices here: " + String.join(", ", present));
        facts.add("a USB adapter appears as /dev/ttyUSB* or /dev/ttyACM* when plugged in; the names under "
                + "/dev/serial/by-id/ stay the same across reboots");
        return new PortDiagnosis(PortDiagnosis.Finding.NO_SUCH_DEVICE,
                "The serial port " + path + " does not exist on this machine.", facts);
    }

    private static PortDiagnosis forbidden(SerialDevices.Device device, UnixAccount account, List<String> facts) {
        String user = account.name();
        String group = device.group();
        facts.add(device.path() + " is " + device.owner() + ":" + group + " " + device.mode());
        boolean groupMayUse = device.mode().length() >= 7 && device.mode().startsWith("rw", 4);
        // Group root opens far more than this port, group tty every user's terminal: neither is
        // a way in for a service, whatever the mode says.
        boolean portGroup = device.groupId() != 0 && !group.equals("tty");
        if (device.owner().equals(user)) {
            facts.add(user + " owns it but the owner may not read and write it: chmod u+rw " + device.path());
        } else if (!portGroup || (!groupMayUse && !account.holdsGroup(device.groupId()))) {
            facts.addAll(whoHolds(device));
        } else if (account.holdsGroup(device.groupId())) {
            facts.add(user + " is in the group " + group + (groupMayUse ? "" : ", but the group may not read and write it"));
            if (!groupMayUse) {
                facts.add("give the group read and write access: chmod g+rw " + device.path()
                        + " (a udev rule with MODE=\"0660\" keeps it so)");
            }
        } else {
            if (account.listedInGroup(group)) {
                facts.add(user + " is listed in the group " + group + " in /etc/group, but this process does not "
                        + "have the group yet: log out and in again, or restart the service");
            } else {
                facts.add(user + " is not in the group " + group);
                facts.add("add the user to it: sudo usermod -aG " + group + " " + user
                        + ", then log out and in again");
            }
            facts.add("for a systemd service, add SupplementaryGroups=" + group + " to the [Service] section of its "
                    + "unit and restart it");
        }
        return new PortDiagnosis(PortDiagnosis.Finding.PERMISSION_DENIED,
                "The user " + user + " may not open " + device.path() + ".", facts);
    }

    /** Who has the device, when no group of it is a way in. */
    private static List<String> whoHolds(SerialDevices.Device device) {
        List<String> facts = new ArrayList<>();
        if (device.systemConsole()) {
            facts.add(device.path() + " is the system console: the kernel writes its messages on it");
        }
        List<String> holders = PortHolders.of(device.path()).holders();
        if (!holders.isEmpty()) {
            facts.add("it is open in " + String.join(", ", holders));
        }
        if (device.group().equals("tty")) {
            facts.add("the group tty marks a terminal of a login or a getty, not a port for a service");
        }
        facts.add("only " + (device.owner().equals("root") ? "root" : "root and " + device.owner())
                + " may open it; a port meant for a service is given to its group by a udev rule with "
                + "GROUP=\"dialout\", MODE=\"0660\"");
        return facts;
    }
}
