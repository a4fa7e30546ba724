// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * The account this JVM runs as, in the terms a device's permissions are checked in: the user's
 * name and the group ids the process holds now (which can differ from what /etc/group lists
 * until the user logs in again).
 */
final class UnixAccount {
    private static final Path GROUP_FILE = Paths.get("/etc/group");

    private final String name;
    private final Set<Long> groupIds;

    private UnixAccount(String name, Set<Long> groupIds) {
        this.name = name;
        this.groupIds = groupIds;
    }

    static UnixAccount current() {
        Set<Long> ids = new HashSet<>();
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.UTF_8)) {
                // "Gid:" holds the real, effective, saved and file-system group; "Groups:" the rest.
                if (line.startsWith("Gid:") || line.startsWith("Groups:")) {
                    for (String id : line.substring(line.indexOf(':') + 1).trim().split("\\s+")) {
                        if (!id.isEmpty()) {
                            ids.add(Long.parseLong(id));
                        }
                    }
                }
            }
        } catch (IOException | NumberFormatException e) {
            // Without /proc nothing is known of the groups; every check then says "not in it".
        }
        return new UnixAccount(System.getProperty("user.name", "this user"), ids);
    }

    String name() {
        return name;
    }

    boolean holdsGroup(long gid) {
        return groupIds.contains(gid);
    }

    /** Whether /etc/group lists this user in the group, whatever this process holds. */
    boolean listedInGroup(String group) {
        try {
            for (String line : Files.readAllLines(GROUP_FILE, StandardCharsets.UTF_8)) {
                String[] fields = line.split(":", -1);
                if (fields.length >= 4 && fields[0].equals(group)) {
                    List<String> members = Arrays.asList(fields[3].split(","));
                    return members.contains(name);
                }
            }
        } catch (IOException e) {
            // An unreadable /etc/group lists nobody.
        }
        return false;
    }
}
