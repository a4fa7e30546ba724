// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Paths;
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
        List<String> command = setpriv(groups);
        command.addAll(Arrays.asList(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-Dzkpos.library=" + System.getProperty("zkpos.library"),
                "-cp", jarOf(DiagnoseAsUser.class) + File.pathSeparator + jarOf(LinPortComm.class),
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

    private static String jarOf(Class<?> type) {
        try {
            return Paths.get(type.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        } catch (URISyntaxException e) {
            throw new IllegalStateException(e);
        }
    }
}
