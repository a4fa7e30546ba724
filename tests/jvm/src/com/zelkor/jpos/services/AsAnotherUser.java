// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Runs programs as the unprivileged user nobody (uid and gid 65534) through setpriv, with the
 * supplementary groups a case chooses. The tests run as root inside private namespaces; this is
 * how they meet the machine as a service account does.
 */
final class AsAnotherUser {
    static final String USER = "nobody";
    static final int UID = 65534;

    private static Path copies;

    private AsAnotherUser() {}

    /** The command line that runs the rest as nobody, in the given groups (gids) only. */
    static List<String> setpriv(int... groups) {
        List<String> command = new ArrayList<>(Arrays.asList("setpriv", "--reuid=" + UID, "--regid=" + UID));
        if (groups.length == 0) {
            command.add("--clear-groups");
        } else {
            StringBuilder list = new StringBuilder();
            for (int gid : groups) {
                list.append(list.length() == 0 ? "" : ",").append(gid);
            }
            command.add("--groups=" + list);
        }
        return command;
    }

    /** Runs DiagnoseAsUser as nobody and returns everything it printed. */
    static String diagnose(int[] groups, String bus, String portName, long writeTimeout, int trace)
            throws IOException, InterruptedException {
        Path copies = readableCopies();
        List<String> command = setpriv(groups);
        // Under qemu-user the child JVM needs the emulator in front, as this one has.
        String emulator = System.getProperty("zkpos.emulator", "");
        if (!emulator.isEmpty()) {
            command.add(emulator);
        }
        command.addAll(Arrays.asList(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-Dzkpos.library=" + copies.resolve("library.so"),
                "-cp", copies.resolve("tests.jar") + File.pathSeparator + copies.resolve("zkpos.jar"),
                DiagnoseAsUser.class.getName(), bus, portName, Long.toString(writeTimeout), Integer.toString(trace)));
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        process.getOutputStream().close();
        try (InputStream output = process.getInputStream()) {
            assertTrue(process.waitFor(30, TimeUnit.SECONDS), "the diagnosing JVM did not end");
            return new String(output.readAllBytes(), StandardCharsets.UTF_8);
        } finally {
            process.destroyForcibly();
        }
    }

    // The build tree may lie where nobody cannot read (a checkout under /root): the JVM as
    // nobody gets copies of the jars and the library in a directory open to everyone.
    private static synchronized Path readableCopies() throws IOException {
        if (copies == null) {
            Path directory = Files.createTempDirectory("zkpos-as-nobody");
            directory.toFile().deleteOnExit();
            Files.setPosixFilePermissions(directory, PosixFilePermissions.fromString("rwxr-xr-x"));
            copy(jarOf(DiagnoseAsUser.class), directory.resolve("tests.jar"));
            copy(jarOf(LinPortComm.class), directory.resolve("zkpos.jar"));
            copy(Paths.get(System.getProperty("zkpos.library")), directory.resolve("library.so"));
            copies = directory;
        }
        return copies;
    }

    private static void copy(Path from, Path to) throws IOException {
        Files.copy(from, to);
        to.toFile().deleteOnExit();
        Files.setPosixFilePermissions(to, PosixFilePermissions.fromString("rw-r--r--"));
    }

    private static Path jarOf(Class<?> type) {
        try {
            return Paths.get(type.getProtectionDomain().getCodeSource().getLocation().toURI());
        } catch (URISyntaxException e) {
            throw new IllegalStateException(e);
        }
    }
}
