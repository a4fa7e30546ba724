// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;

/** Whether the library's trace lines can reach their file for this user. */
final class TraceFileDiagnosis {
    static final Path FILE = Paths.get("/var/log/ZkPosSoLog.txt");

    private TraceFileDiagnosis() {}

    static PortDiagnosis check(Path file, UnixAccount account) {
        boolean exists = Files.exists(file);
        Path directory = file.toAbsolutePath().getParent();
        if (exists ? Files.isWritable(file) : Files.isWritable(directory)) {
            return null;
        }
        String user = account.name();
        List<String> facts = new ArrayList<>();
        Path shown = exists ? file : directory;
        try {
            PosixFileAttributes attributes = Files.readAttributes(shown, PosixFileAttributes.class);
            facts.add(shown + " is " + attributes.owner().getName() + ":" + attributes.group().getName() + " "
                    + PosixFilePermissions.toString(attributes.permissions())
                    + (exists ? "" : ", and the file does not exist yet"));
        } catch (IOException e) {
            facts.add(shown + " cannot be looked at: " + e.getMessage());
        }
        facts.add("the library writes every line by opening the file, so nothing is written while "
                + user + " may not; the port works all the same");
        facts.add("make it writable once, as root: touch " + file + " && chown " + user + " " + file
                + " (or chgrp to a group of the service's user and chmod g+w)");
        return new PortDiagnosis(PortDiagnosis.Finding.TRACE_FILE_NOT_WRITABLE,
                "Tracing is on, but the user " + user + " cannot write " + file + ", so no trace is written.", facts);
    }
}
