// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;

/**
 * A serial device on a pseudo-terminal, played by the helper program pty-peer (named by the
 * system property {@code zkpos.ptyPeer}): Java cannot open a pseudo-terminal itself. The library
 * opens {@link #slavePath()} as its port; this side writes and reads the master.
 */
final class PtyPeer implements AutoCloseable {
    private final Process process;
    private final BufferedReader answers;
    private final Writer commands;
    private final String slavePath;

    PtyPeer() throws IOException {
        String program = System.getProperty("zkpos.ptyPeer");
        if (program == null || program.isEmpty()) {
            throw new IllegalStateException("set -Dzkpos.ptyPeer=<path of the pty-peer program>");
        }
        process = new ProcessBuilder(program).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        answers = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
        commands = new OutputStreamWriter(process.getOutputStream(), StandardCharsets.US_ASCII);
        slavePath = answer("slave");
    }

    /** The path to pass to openDevice as the port name. */
    String slavePath() {
        return slavePath;
    }

    /** Writes the bytes as the device and returns once they wait in the port's input queue. */
    void send(byte[] bytes) throws IOException {
        command("send " + hex(bytes));
        int queued = Integer.parseInt(answer("sent"));
        if (queued < bytes.length) {
            throw new IOException("only " + queued + " of " + bytes.length + " bytes arrived");
        }
    }

    /** What the library wrote to the port, until count bytes came or timeoutMs passed. */
    byte[] receive(int count, int timeoutMs) throws IOException {
        command("recv " + count + " " + timeoutMs);
        return unhex(answer("data"));
    }

    /** Bytes waiting in the port's input queue. */
    int queued() throws IOException {
        command("queued");
        return Integer.parseInt(answer("queued"));
    }

    @Override
    public void close() throws IOException {
        try {
            commands.close();
        } catch (IOException e) {
            // The helper is gone already.
        }
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }

    private void command(String line) throws IOException {
        commands.write(line + "\n");
        commands.flush();
    }

    // The helper bounds every wait of its own, so an answer always comes,
    // unless it died, which ends the stream.
    private String answer(String kind) throws IOException {
        String line = answers.readLine();
        if (line == null) {
            throw new IOException("pty-peer ended");
        }
        if (line.equals(kind)) {
            return "";
        }
        if (!line.startsWith(kind + " ")) {
            throw new IOException("pty-peer answered \"" + line + "\" instead of " + kind);
        }
        return line.substring(kind.length() + 1);
    }

    static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder(bytes.length * 2);
        for (byte b : bytes) {
            text.append(String.format("%02x", b & 0xff));
        }
        return text.toString();
    }

    static byte[] unhex(String text) {
        byte[] bytes = new byte[text.length() / 2];
        for (int i = 0; i < bytes.length; ++i) {
            bytes[i] = (byte) Integer.parseInt(text.substring(2 * i, 2 * i + 2), 16);
        }
        return bytes;
    }
}
