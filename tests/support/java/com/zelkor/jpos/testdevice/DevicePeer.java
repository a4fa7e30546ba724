// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.testdevice;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A test device for the JVM suites, played by the native device-peer program (its path in the
 * system property {@code zkpos.devicePeer}), the same devices the C++ suites use: a serial device
 * on a pseudo-terminal, which Java cannot open itself, or a TCP device on 127.0.0.1:9100. The
 * suites run in a network namespace of their own (private-run.sh), so the port is theirs alone.
 * Calls may come from several threads; every wait is bounded by the program.
 */
public final class DevicePeer implements AutoCloseable {
    public static final String HOST = "127.0.0.1";
    public static final int PORT = 9100;

    private final Process process;
    private final BufferedReader answers;
    private final Writer commands;
    private final String name;

    private DevicePeer(String... arguments) throws IOException {
        String program = System.getProperty("zkpos.devicePeer");
        if (program == null || program.isEmpty()) {
            throw new IllegalStateException("set -Dzkpos.devicePeer=<path of the device-peer program>");
        }
        // A cross-built program runs under the emulator that runs this JVM.
        List<String> command = new ArrayList<>();
        String emulator = System.getProperty("zkpos.emulator", "");
        if (!emulator.isEmpty()) {
            command.add(emulator);
        }
        command.add(program);
        command.addAll(Arrays.asList(arguments));
        process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        answers = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
        commands = new OutputStreamWriter(process.getOutputStream(), StandardCharsets.US_ASCII);
        name = answer(arguments[0]);
    }

    /** A serial device on a pseudo-terminal; open it by {@link #path()}. */
    public static DevicePeer pty() throws IOException {
        return new DevicePeer("pty");
    }

    /** A TCP device listening on 127.0.0.1:9100. */
    public static DevicePeer tcp() throws IOException {
        return new DevicePeer("tcp");
    }

    /** A TCP device whose listener has the given backlog. */
    public static DevicePeer tcp(int backlog) throws IOException {
        return new DevicePeer("tcp", Integer.toString(backlog));
    }

    /** The terminal's slave path, the port name to open (a TCP device: its address). */
    public String path() {
        return name;
    }

    /** The device sends the bytes; on a terminal, returns once they wait in the port's input queue. */
    public void send(byte[] bytes) throws IOException {
        int queued = Integer.parseInt(command("send " + hex(bytes), "sent"));
        if (queued < bytes.length) {
            throw new IOException("only " + queued + " of " + bytes.length + " bytes arrived");
        }
    }

    /** What the library wrote, until count bytes came, it closed, or timeoutMs passed. */
    public byte[] receive(int count, int timeoutMs) throws IOException {
        return unhex(command("recv " + count + " " + timeoutMs, "data"));
    }

    /** Bytes waiting in the terminal's input queue. */
    public int queued() throws IOException {
        return Integer.parseInt(command("queued", "queued"));
    }

    /** The terminal hangs up: its master closes and the slave's node disappears. */
    public void hangUp() throws IOException {
        command("hangup", "ok");
    }

    /** Takes the library's connection; fails when none comes within timeoutMs. */
    public void accept(int timeoutMs) throws IOException {
        command("accept " + timeoutMs, "ok");
    }

    /** Closes the connection, as a device that goes away. */
    public void closeConnection() throws IOException {
        command("close", "ok");
    }

    /** Closes the connection with a reset. */
    public void resetConnection() throws IOException {
        command("reset", "ok");
    }

    /** Ends the device's sending: the library reads the end of the stream. */
    public void shutdownOutput() throws IOException {
        command("shutdown", "ok");
    }

    /** The next connection (within 10 s) gets back every byte it sends. */
    public void echo() throws IOException {
        command("echo", "ok");
    }

    /** The bytes the echoing device has received so far. */
    public long echoed() throws IOException {
        return Long.parseLong(command("echoed", "echoed"));
    }

    /** Fills the listener's accept queue, so that a new connect is neither taken nor refused. */
    public void fillAcceptQueue() throws IOException {
        command("fill", "ok");
    }

    @Override
    public void close() throws IOException {
        try {
            commands.close();
        } catch (IOException e) {
            // The program is gone already.
        }
        try {
            if (!process.waitFor(15, TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }

    private synchronized String command(String line, String kind) throws IOException {
        commands.write(line + "\n");
        commands.flush();
        return answer(kind);
    }

    // The program bounds every wait of its own, so an answer always comes,
    // unless it died, which ends the stream.
    private String answer(String kind) throws IOException {
        String line = answers.readLine();
        if (line == null) {
            throw new IOException("device-peer ended");
        }
        if (line.equals(kind)) {
            return "";
        }
        if (!line.startsWith(kind + " ")) {
            throw new IOException("device-peer answered \"" + line + "\" instead of " + kind);
        }
        return line.substring(kind.length() + 1);
    }

    private static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder(bytes.length * 2);
        for (byte b : bytes) {
            text.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        }
        return text.toString();
    }

    private static byte[] unhex(String text) {
        byte[] bytes = new byte[text.length() / 2];
        for (int i = 0; i < bytes.length; ++i) {
            bytes[i] = (byte) Integer.parseInt(text.substring(2 * i, 2 * i + 2), 16);
        }
        return bytes;
    }
}
