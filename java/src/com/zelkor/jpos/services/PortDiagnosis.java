// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * Why a {@link LinPortComm} port did not open, in one plain sentence and the facts behind it.
 *
 * <p>The library itself answers a failed open with -1 and, with tracing on, one fixed line in
 * its trace file. A service or tool calls {@link #afterFailedOpen} with the same arguments
 * right after such a failure: it looks at the machine as this process sees it (the device
 * file, its owner, group and mode, this user's groups, the processes holding the device, the
 * host's address and whether it answers on port 9100) and says what stands in the way and
 * what to do. Nothing here opens a serial device; a TCP check makes one connection of its own
 * and closes it at once.
 *
 * <pre>{@code
 * if (port.openDevice("RS232", "/dev/ttyUSB0", 9600, false, 0) != 0) {
 *     log.warn(PortDiagnosis.afterFailedOpen("RS232", "/dev/ttyUSB0", 5).toString());
 * }
 * }</pre>
 */
public final class PortDiagnosis {
    /** What stands in the way of the open. */
    public enum Finding {
        /** The serial device does not exist. */
        NO_SUCH_DEVICE,
        /** This user may not open the serial device. */
        PERMISSION_DENIED,
        /** Another process has the serial device open. */
        HELD_BY_ANOTHER_PROCESS,
        /** The serial device is there and may be opened; nothing visible explains the failure. */
        SERIAL_UNEXPLAINED,
        /** The Ethernet address carries a ":port", which the Linux library does not take. */
        ADDRESS_HAS_PORT,
        /** The host name does not resolve to an IPv4 address. */
        HOST_UNKNOWN,
        /** No name server answered the lookup of the host name in time. */
        NAME_SERVER_SILENT,
        /** The host refused the connection to port 9100. */
        CONNECTION_REFUSED,
        /** Nothing answered on port 9100 within the time-out. */
        NO_ANSWER,
        /** The network has no route to the host. */
        HOST_UNREACHABLE,
        /** The host answers on port 9100 now; the failure was passing or came from the time-out. */
        ANSWERS_NOW,
        /** Tracing is on but this user cannot write the trace file. */
        TRACE_FILE_NOT_WRITABLE,
        /** The check itself failed; its sentence says how. */
        NOT_CHECKED
    }

    private final Finding finding;
    private final String sentence;
    private final List<String> facts;

    PortDiagnosis(Finding finding, String sentence, List<String> facts) {
        this.finding = finding;
        this.sentence = sentence;
        this.facts = Collections.unmodifiableList(new ArrayList<>(facts));
    }

    /**
     * Explains a failed {@code openDevice(deviceBus, portName, ...)}. {@code writeTimeoutSeconds}
     * is the write time-out the open ran with (the first value given to
     * {@code SetDeviceTimeout}, 5 by default): the library waits that long for a TCP connection,
     * and so does the check here.
     */
    public static PortDiagnosis afterFailedOpen(String deviceBus, String portName, long writeTimeoutSeconds) {
        try {
            return diagnose(deviceBus, portName == null ? "" : portName, writeTimeoutSeconds);
        } catch (RuntimeException e) {
            return notChecked(e);
        }
    }

    private static PortDiagnosis diagnose(String deviceBus, String name, long writeTimeoutSeconds) {
        if (name.indexOf('\0') >= 0) {
            // The library gets the name through JNI, where a NUL becomes two other bytes: no
            // device or host is ever named so.
            return new PortDiagnosis("RS232".equals(deviceBus) ? Finding.NO_SUCH_DEVICE : Finding.HOST_UNKNOWN,
                    "The port name \"" + name.replace("\0", "\\0") + "\" holds a NUL character, which no "
                    + "device or host name holds.", List.of("check where the service takes the port name from"));
        }
        // The library's rule: "RS232" exactly is a serial line, every other bus is TCP.
        if ("RS232".equals(deviceBus)) {
            return SerialDiagnosis.diagnose(name, SerialDevices.ofThisMachine(), UnixAccount.current());
        }
        PortDiagnosis tcp = TcpDiagnosis.diagnose(name, writeTimeoutSeconds);
        if (deviceBus != null && deviceBus.equalsIgnoreCase("RS232")) {
            List<String> facts = new ArrayList<>(tcp.facts);
            facts.add(0, "the bus \"" + deviceBus + "\" is not \"RS232\" in capitals, so the library took "
                    + "\"" + name + "\" for a TCP host, not a serial port");
            return new PortDiagnosis(tcp.finding, tcp.sentence, facts);
        }
        return tcp;
    }

    /**
     * Checks the trace file /var/log/ZkPosSoLog.txt: null when this user can write it (or create
     * it), else what keeps the trace from being written. A service that turns tracing on calls
     * this once, since a trace the library cannot write is silently lost.
     */
    public static PortDiagnosis checkTraceFile() {
        try {
            return TraceFileDiagnosis.check(TraceFileDiagnosis.FILE, UnixAccount.current());
        } catch (RuntimeException e) {
            return notChecked(e);
        }
    }

    // A diagnosis explains a failure; it must never become a second one in the caller.
    private static PortDiagnosis notChecked(RuntimeException e) {
        return new PortDiagnosis(Finding.NOT_CHECKED, "The check of the port could not be made: " + e + ".",
                List.of());
    }

    public Finding finding() {
        return finding;
    }

    /** One plain sentence: what stands in the way. */
    public String sentence() {
        return sentence;
    }

    /** The facts behind the sentence and what to do, one line each. */
    public List<String> facts() {
        return facts;
    }

    /** The sentence, then each fact on a line of its own, indented. */
    @Override
    public String toString() {
        StringBuilder text = new StringBuilder(sentence);
        for (String fact : facts) {
            text.append(System.lineSeparator()).append("  - ").append(fact);
        }
        return text.toString();
    }
}
