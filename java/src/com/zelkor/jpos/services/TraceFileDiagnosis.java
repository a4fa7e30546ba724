// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
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
        boolean exists = Files.exists(file, LinkOption.NOFOLLOW_LINKS);
        Path directory = file.toAbsolutePath().getParent();
        String user = account.name();
        List<String> facts = new ArrayList<>();
        // The library appends to whatever the name leads to: only a regular file takes a trace.
        if (exists && !Files.isRegularFile(file)) {
            String kind = Files.isSymbolicLink(file) && !Files.exists(file) ? "a link to nothing"
                    : Files.isDirectory(file) ? "a directory" : "no regular file";
            facts.add("remove it, as root, so that the library or the package makes a regular file there");
            return new PortDiagnosis(PortDiagnosis.Finding.TRACE_FILE_NOT_WRITABLE,
                    "Tracing is on, but " + file + " is " + kind + ", so no trace is written.", facts);
        }
        if (exists ? Files.isWritable(file) : Files.isWritable(directory)) {
            return null;
        }
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
