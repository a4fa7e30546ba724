// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.SocketTimeoutException;

/**
 * A device on 127.0.0.1:9100, the port the library always connects to. The suites run in a
 * network namespace of their own (tests/support/private-run.sh), so the port is never shared.
 */
final class TcpDevice implements AutoCloseable {
    static final int PORT = 9100;

    private final ServerSocket listener;
    private Socket connection;

    TcpDevice() throws IOException {
        listener = new ServerSocket();
        listener.setReuseAddress(true);
        listener.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), PORT));
    }

    /** Takes the library's connection; fails when none comes within timeoutMs. */
    void accept(int timeoutMs) throws IOException {
        listener.setSoTimeout(timeoutMs);
        connection = listener.accept();
    }

    void send(byte[] bytes) throws IOException {
        connection.getOutputStream().write(bytes);
        connection.getOutputStream().flush();
    }

    /** What the library sent, until count bytes came, it closed, or timeoutMs passed. */
    byte[] receive(int count, int timeoutMs) throws IOException {
        ByteArrayOutputStream received = new ByteArrayOutputStream();
        long deadline = System.nanoTime() + timeoutMs * 1_000_000L;
        byte[] chunk = new byte[4096];
        while (received.size() < count) {
            long left = (deadline - System.nanoTime()) / 1_000_000L;
            if (left <= 0) {
                break;
            }
            connection.setSoTimeout((int) left);
            int n;
            try {
                n = connection.getInputStream().read(chunk, 0,
                        Math.min(chunk.length, count - received.size()));
            } catch (SocketTimeoutException e) {
                break;
            }
            if (n < 0) {
                break;
            }
            received.write(chunk, 0, n);
        }
        return received.toByteArray();
    }

    /** Closes the connection, as a device that goes away. */
    void closeConnection() throws IOException {
        if (connection != null) {
            connection.close();
            connection = null;
        }
    }

    @Override
    public void close() throws IOException {
        closeConnection();
        listener.close();
    }
}
