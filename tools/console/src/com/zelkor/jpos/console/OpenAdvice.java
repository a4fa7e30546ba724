// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import com.zelkor.jpos.services.PortDiagnosis;
import com.zelkor.jpos.services.SerialDevices;
import java.io.PrintStream;
import java.util.List;

/**
 * What the console tells a person around an open: why it failed, whether the trace they asked
 * for can be written, which serial devices there are, and why a TCP time-out of 0 needs a
 * second thought.
 */
final class OpenAdvice {
    private OpenAdvice() {}

    /** The reason of a failed open: on Linux the diagnosis, on Windows a pointer to the trace. */
    static String whyNotOpen(boolean windows, PortChoice choice, long writeTimeout, int trace) {
        if (windows) {
            return choice.portName + " on bus " + choice.bus + " did not open"
                    + (trace > 0 ? "; see " + traceLog(windows) : " (add --trace 5 to see why)");
        }
        String why = PortDiagnosis.afterFailedOpen(choice.bus, choice.portName, writeTimeout).toString();
        PortDiagnosis traceFile = trace > 0 ? PortDiagnosis.checkTraceFile() : null;
        return traceFile == null ? why : why + System.lineSeparator() + traceFile;
    }

    /** What follows "opened ...": where the trace goes, or a warning that it goes nowhere. */
    static String traceNote(boolean windows, int trace) {
        if (trace == 0) {
            return "";
        }
        PortDiagnosis traceFile = windows ? null : PortDiagnosis.checkTraceFile();
        return traceFile == null ? " (trace level " + trace + " in " + traceLog(windows) + ")"
                : System.lineSeparator() + "warning: " + traceFile;
    }

    /**
     * On a TCP socket a time-out of 0 means no limit: a read would wait for ever for a silent
     * device, and the connect becomes a poll. Only an explicit --forever lets that through.
     */
    static void checkTcpTimeouts(String command, long write, long read, boolean forever) throws CommandError {
        if (forever || (write > 0 && read > 0)) {
            return;
        }
        throw new CommandError(CommandError.BAD_ARGUMENTS, command + ": on TCP a time-out of 0 means no limit: "
                + (read == 0 ? "a read waits for ever for a silent device" : "")
                + (read == 0 && write == 0 ? ", and " : "")
                + (write == 0 ? "the connect is a poll that fails unless the device answers at once, and a send"
                        + " may wait for ever" : "")
                + "; give 1 s or more, or add --forever if that is what you want");
    }

    /** The serial devices of this machine with this user's access, one a line. */
    static void listPorts(boolean windows, PrintStream out) {
        if (windows) {
            out.println("ports lists the serial devices of a Linux machine; on Windows the Device Manager"
                    + " shows the COM ports");
            return;
        }
        List<SerialDevices.Device> devices = SerialDevices.ofThisMachine().list();
        if (devices.isEmpty()) {
            out.println("no serial devices here (/dev/ttyS* with a port, /dev/ttyUSB*, /dev/ttyACM*,"
                    + " /dev/serial/by-id/*)");
        }
        for (SerialDevices.Device device : devices) {
            out.println(device.describe());
        }
    }

    private static String traceLog(boolean windows) {
        return windows ? "ZkPosDll.log in Documents\\Zelkortec\\JavaPos\\Log" : "/var/log/ZkPosSoLog.txt";
    }
}
