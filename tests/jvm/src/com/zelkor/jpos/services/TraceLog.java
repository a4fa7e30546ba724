// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.regex.Pattern;

/**
 * The library's trace file. The suites only ever see it in the private /var/log that
 * tests/support/private-run.sh mounts; outside it they refuse to run.
 */
final class TraceLog {
    static final Path FILE = Paths.get("/var/log/ZkPosSoLog.txt");

    private static final Pattern DATE_PREFIX =
            Pattern.compile("^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] ");

    private TraceLog() {}

    static void requirePrivateRun() {
        assertEquals("1", System.getenv("ZKPOS_PRIVATE_RUN"),
                "these suites write /var/log/ZkPosSoLog.txt: run them through "
                        + "tests/support/private-run.sh");
    }

    static void clear() throws IOException {
        Files.deleteIfExists(FILE);
    }

    static boolean exists() {
        return Files.exists(FILE);
    }

    /** The lines written since the last clear, each checked for and stripped of its date prefix. */
    static List<String> lines() throws IOException {
        List<String> lines = new ArrayList<>();
        if (!exists()) {
            return lines;
        }
        String text = new String(Files.readAllBytes(FILE), StandardCharsets.ISO_8859_1);
        if (text.isEmpty()) {
            return lines;
        }
        assertTrue(text.endsWith("\n"), "the last line ends with a line feed");
        for (String line : text.substring(0, text.length() - 1).split("\n", -1)) {
            java.util.regex.Matcher prefix = DATE_PREFIX.matcher(line);
            assertTrue(prefix.find(), "no date prefix: " + line);
            lines.add(line.substring(prefix.end()));
        }
        return lines;
    }

    static List<String> of(String... lines) {
        return Arrays.asList(lines);
    }
}
