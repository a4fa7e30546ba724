// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * The processes that have a device open, as far as /proc shows them to this user: the
 * descriptors of other users' processes stay hidden unless this process runs as root.
 */
final class PortHolders {
    private final List<String> holders = new ArrayList<>();
    private int hidden;

    private PortHolders() {}

    /** Looks through /proc for descriptors on the device at path. */
    static PortHolders of(Path device) {
        PortHolders found = new PortHolders();
        Path target;
        try {
            target = device.toRealPath();
        } catch (IOException e) {
            return found;
        }
        long self = ProcessHandle.current().pid();
        try (DirectoryStream<Path> processes = Files.newDirectoryStream(Paths.get("/proc"), "[0-9]*")) {
            for (Path process : processes) {
                if (process.getFileName().toString().equals(Long.toString(self))) {
                    continue;
                }
                found.look(process, target);
            }
        } catch (IOException e) {
            // No /proc: nothing can be said about holders.
        }
        return found;
    }

    private void look(Path process, Path target) {
        try (DirectoryStream<Path> descriptors = Files.newDirectoryStream(process.resolve("fd"))) {
            for (Path descriptor : descriptors) {
                Path link;
                try {
                    link = Files.readSymbolicLink(descriptor);
                } catch (IOException e) {
                    continue; // closed while we looked
                }
                if (link.equals(target)) {
                    holders.add("process " + process.getFileName() + " (" + command(process) + ")");
                    return;
                }
            }
        } catch (IOException e) {
            // Another user's process (or one that just ended): its descriptors are not ours to see.
            hidden++;
        }
    }

    private static String command(Path process) {
        try {
            return Files.readString(process.resolve("comm"), StandardCharsets.UTF_8).trim();
        } catch (IOException e) {
            return "ended";
        }
    }

    /** "process 1234 (minicom)" for every holder found. */
    List<String> holders() {
        return holders;
    }

    /** How many processes this user could not look into. */
    int hidden() {
        return hidden;
    }
}
