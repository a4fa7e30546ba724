// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.reliability;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.ArrayList;
import java.util.List;

/**
 * A TCP device on 127.0.0.1:9100, the only port the library connects to. The suites run in a
 * network namespace of their own (private-run.sh), so the port is theirs alone.
 */
final class DevicePeer implements AutoCloseable {
    static final String HOST = "127.0.0.1";
    static final int PORT = 9100;

    private final ServerSocket server;
    private final List<Socket> accepted = new ArrayList<>();
    private final List<Thread> workers = new ArrayList<>();

    DevicePeer() throws IOException {
        this(50);
    }

    DevicePeer(int backlog) throws IOException {
        server = new ServerSocket();
        server.setReuseAddress(true);
        server.bind(new InetSocketAddress(InetAddress.getByName(HOST), PORT), backlog);
    }

    /** The next connection, waiting at most 10 s for it. */
    Socket accept() throws IOException {
        server.setSoTimeout(10_000);
        Socket socket = server.accept();
        synchronized (accepted) {
            accepted.add(socket);
        }
        return socket;
    }

    /** Answers the next connection by sending back every byte it receives. */
    void echo() {
        Thread worker = new Thread(() -> {
            try (Socket socket = accept()) {
                InputStream in = socket.getInputStream();
                OutputStream out = socket.getOutputStream();
                byte[] chunk = new byte[4096];
                int n;
                while ((n = in.read(chunk)) > 0) {
                    out.write(chunk, 0, n);
                }
            } catch (IOException ignored) {
                // The test ends the connection by closing the port or the peer.
            }
        }, "echo-peer");
        worker.setDaemon(true);
        worker.start();
        workers.add(worker);
    }

    @Override
    public void close() throws IOException {
        server.close();
        synchronized (accepted) {
            for (Socket socket : accepted) {
                socket.close();
            }
        }
        for (Thread worker : workers) {
            try {
                worker.join(10_000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }
}
