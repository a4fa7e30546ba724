// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/** What the suites observe of their own process: its descriptors, its memory, its namespace. */
final class ThisProcess {
    private ThisProcess() {}

    /** The numbers of the descriptors open right now. */
    static TreeSet<Integer> descriptors() {
        TreeSet<Integer> numbers = new TreeSet<>();
        try (Stream<Path> entries = Files.list(Paths.get("/proc/self/fd"))) {
            entries.forEach(entry -> numbers.add(Integer.parseInt(entry.getFileName().toString())));
        } catch (IOException e) {
            fail("cannot list /proc/self/fd: " + e);
        }
        // The listing's own descriptor is gone by now, but was counted.
        numbers.removeIf(number -> !Files.exists(Paths.get("/proc/self/fd/" + number)));
        return numbers;
    }

    /**
     * The descriptors opened since {@code before} and still open, each with what it points to.
     * Descriptors the JVM closed meanwhile (its own, collected streams) do not count.
     */
    static TreeMap<Integer, String> openedSince(TreeSet<Integer> before) {
        TreeMap<Integer, String> opened = new TreeMap<>();
        for (int number : descriptors()) {
            if (!before.contains(number)) {
                try {
                    opened.put(number, Files.readSymbolicLink(Paths.get("/proc/self/fd/" + number)).toString());
                } catch (IOException closedMeanwhile) {
                    // gone again: not a leak
                }
            }
        }
        return opened;
    }

    /**
     * The descriptors opened since {@code before} that the library could have left behind: its
     * sockets, devices and log files. What the JVM opens for itself now and then (its jars and
     * modules, its cgroup and proc files, its pipes and event descriptors) is left out.
     */
    static TreeMap<Integer, String> portOrLogSince(TreeSet<Integer> before) {
        TreeMap<Integer, String> opened = openedSince(before);
        opened.values().removeIf(target -> target.startsWith("/usr/") || target.startsWith("/proc/")
                || target.startsWith("/sys/") || target.startsWith("pipe:")
                || target.startsWith("anon_inode:") || target.endsWith(".jar"));
        return opened;
    }

    /** Resident memory in kB, from /proc/self/status. */
    static long residentKb() {
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
                if (line.startsWith("VmRSS:")) {
                    return Long.parseLong(line.replaceAll("[^0-9]", ""));
                }
            }
        } catch (IOException e) {
            fail("cannot read /proc/self/status: " + e);
        }
        throw new AssertionError("no VmRSS in /proc/self/status");
    }

    /**
     * The suites mount over /var/log and listen on 127.0.0.1:9100: both are only safe inside the
     * private namespaces of tests/support/private-run.sh.
     */
    static void requirePrivateRun() {
        if (!"1".equals(System.getenv("ZKPOS_PRIVATE_RUN"))) {
            throw new AssertionError("run this suite through tests/support/private-run.sh");
        }
    }

    /** Runs a command (mount, umount) and insists that it succeeds within 30 s. */
    static void run(String... command) {
        try {
            java.lang.Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
            if (!process.waitFor(30, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                fail(String.join(" ", command) + ": no end within 30 s");
            }
            String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertEquals(0, process.exitValue(), String.join(" ", command) + ": " + output);
        } catch (IOException e) {
            fail(String.join(" ", command) + ": " + e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            fail(String.join(" ", command) + ": interrupted");
        }
    }
}
