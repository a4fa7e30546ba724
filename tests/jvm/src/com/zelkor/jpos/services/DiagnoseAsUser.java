// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

/**
 * Run in a JVM of its own under another account (setpriv): opens a port through the library
 * the way a service would and prints the result, the diagnosis of a failed open and the state
 * of the trace file, each headed by a line the tests look for.
 *
 * <p>Arguments: bus, port name, write time-out in seconds, trace level (0 = off).
 */
public final class DiagnoseAsUser {
    private DiagnoseAsUser() {}

    public static void main(String[] args) {
        String bus = args[0];
        String portName = args[1];
        long writeTimeout = Long.parseLong(args[2]);
        int trace = Integer.parseInt(args[3]);
        LinPortComm port = new LinPortComm();
        port.SetDeviceTimeout(writeTimeout, 5);
        long result = port.openDevice(bus, portName, 9600, trace > 0, trace);
        System.out.println("open " + result);
        if (result != 0) {
            PortDiagnosis diagnosis = PortDiagnosis.afterFailedOpen(bus, portName, writeTimeout);
            System.out.println("finding " + diagnosis.finding());
            System.out.println(diagnosis);
        }
        port.closeDevice();
        if (trace > 0) {
            PortDiagnosis traceFile = PortDiagnosis.checkTraceFile();
            System.out.println(traceFile == null ? "trace file writable" : "trace " + traceFile.finding());
            if (traceFile != null) {
                System.out.println(traceFile);
            }
        }
    }
}
