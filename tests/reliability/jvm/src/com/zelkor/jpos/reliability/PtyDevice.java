// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/**
 * A serial device on a pseudo-terminal, played by the pty-device helper program (its path in the
 * system property zkpos.ptyDevice). The library opens {@link #path()} as it would open a serial
 * port; the helper sends, receives and hangs up on command.
 */
final class PtyDevice implements AutoCloseable {
    private final java.lang.Process helper;
    private final BufferedReader answers;
    private final PrintWriter commands;
    private final String path;

    PtyDevice() throws IOException {
        String program = System.getProperty("zkpos.ptyDevice");
        assertNotNull(program, "set -Dzkpos.ptyDevice to the pty-device helper");
        helper = new ProcessBuilder(program).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        answers = new BufferedReader(
                new InputStreamReader(helper.getInputStream(), StandardCharsets.US_ASCII));
        commands = new PrintWriter(helper.getOutputStream(), true, StandardCharsets.US_ASCII);
        path = answer();
    }

    /** The slave's path: the port name to open. */
    String path() {
        return path;
    }

    void send(byte[] bytes) throws IOException {
        StringBuilder hex = new StringBuilder("send ");
        for (byte b : bytes) {
            hex.append(String.format("%02x", b & 0xff));
        }
        assertEquals("ok", command(hex.toString()));
    }

    /** What the library wrote, up to count bytes, waiting at most 5 s for them. */
    byte[] receive(int count) throws IOException {
        String hex = command("recv " + count);
        byte[] bytes = new byte[hex.length() / 2];
        for (int i = 0; i < bytes.length; i++) {
            bytes[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
        }
        return bytes;
    }

    /** The device hangs up: the master closes and the slave's node disappears. */
    void hangUp() throws IOException {
        assertEquals("ok", command("hangup"));
    }

    private String command(String line) throws IOException {
        commands.println(line);
        return answer();
    }

    // Every answer comes within 30 s or the helper is stuck: the test fails
    // instead of waiting for it.
    private String answer() throws IOException {
        CompletableFuture<String> line = CompletableFuture.supplyAsync(() -> {
            try {
                return answers.readLine();
            } catch (IOException e) {
                return null;
            }
        });
        try {
            String text = line.get(30, TimeUnit.SECONDS);
            if (text == null) {
                throw new IOException("pty-device ended");
            }
            return text;
        } catch (InterruptedException | ExecutionException | TimeoutException e) {
            helper.destroyForcibly();
            throw new IOException("pty-device did not answer: " + e);
        }
    }

    @Override
    public void close() throws IOException {
        commands.close();
        try {
            if (!helper.waitFor(10, TimeUnit.SECONDS)) {
                helper.destroyForcibly();
            }
        } catch (InterruptedException e) {
            helper.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }
}
