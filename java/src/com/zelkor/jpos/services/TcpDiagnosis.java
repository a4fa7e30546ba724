// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.net.ConnectException;
import java.net.Inet4Address;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.NoRouteToHostException;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.net.UnknownHostException;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/** Why a TCP device did not open: the address, the name lookup, or the device on port 9100. */
final class TcpDiagnosis {
    /** The Linux library connects to this port and no other. */
    static final int DEVICE_PORT = 9100;
    /**
     * How long the lookup may take here. The resolver waits 5 s for a name server and asks
     * twice by default, and says only "unknown host" then: a check that waits less can tell a
     * silent name server from a name that does not exist.
     */
    static final long LOOKUP_LIMIT_MS = 4000;
    /** The longest connection wait of the check, whatever the library's time-out. */
    static final long CONNECT_LIMIT_SECONDS = 60;

    private TcpDiagnosis() {}

    static PortDiagnosis diagnose(String host, long writeTimeoutSeconds) {
        List<String> facts = new ArrayList<>();
        int colon = host.lastIndexOf(':');
        // One colon is host:port; more are an IPv6 address, which the lookup below refuses.
        if (colon >= 0 && host.indexOf(':') == colon) {
            facts.add("the library looks the whole text up as a host name, which fails");
            facts.add("it always connects to TCP port " + DEVICE_PORT + ": give " + host.substring(0, colon)
                    + " and set the device to listen on " + DEVICE_PORT);
            return new PortDiagnosis(PortDiagnosis.Finding.ADDRESS_HAS_PORT,
                    "The Linux library takes a host name or IPv4 address without a port, not \"" + host + "\".", facts);
        }
        InetAddress address;
        try {
            address = firstIPv4(host, facts);
        } catch (TimeoutException e) {
            facts.add("the library's own lookup waits as long as the resolver does (timeout and attempts in "
                    + "/etc/resolv.conf, by default twice 5 s) and then fails the open");
            facts.add("check the name servers in /etc/resolv.conf and the way to them, or give the device's "
                    + "IPv4 address, which needs no lookup");
            return new PortDiagnosis(PortDiagnosis.Finding.NAME_SERVER_SILENT, "No name server answered for \""
                    + host + "\" within " + LOOKUP_LIMIT_MS / 1000 + " s.", facts);
        } catch (UnknownHostException e) {
            facts.add("check the spelling, /etc/hosts and the name servers in /etc/resolv.conf; "
                    + "a dotted IPv4 address needs no lookup");
            return new PortDiagnosis(PortDiagnosis.Finding.HOST_UNKNOWN,
                    "The host name \"" + host + "\" does not resolve to an IPv4 address.", facts);
        }
        String where = address.getHostAddress() + " port " + DEVICE_PORT;
        if (!host.equals(address.getHostAddress())) {
            facts.add(host + " is " + address.getHostAddress());
        }
        if (writeTimeoutSeconds <= 0) {
            facts.add("the write time-out is " + writeTimeoutSeconds + ", which makes the connect a poll that "
                    + "fails unless the device answers at once: set it to 1 s or more");
        }
        // The library waits the write time-out for the connection; so does this check, up to a limit.
        long waitSeconds = Math.min(CONNECT_LIMIT_SECONDS, Math.max(1, writeTimeoutSeconds));
        if (writeTimeoutSeconds > CONNECT_LIMIT_SECONDS) {
            facts.add("the write time-out is " + writeTimeoutSeconds + " s; this check waits " + waitSeconds
                    + " s at most");
        }
        int waitMs = (int) (waitSeconds * 1000);
        try (Socket socket = new Socket()) {
            socket.connect(new InetSocketAddress(address, DEVICE_PORT), waitMs);
        } catch (SocketTimeoutException e) {
            facts.add("the library waits the write time-out (the first value of SetDeviceTimeout) for the "
                    + "connection: " + waitMs / 1000 + " s here");
            facts.add("the device may be off, on another network, or behind a firewall that drops the connection");
            return new PortDiagnosis(PortDiagnosis.Finding.NO_ANSWER,
                    "Nothing answered on " + where + " within " + waitMs / 1000 + " s.", facts);
        } catch (ConnectException e) {
            if (!String.valueOf(e.getMessage()).contains("refused")) {
                // The kernel gave up its retries before the time-out ended: nobody answered at all.
                facts.add("no answer came to any attempt: the system gives up after net.ipv4.tcp_syn_retries "
                        + "of them (about two minutes by default), however long the time-out is");
                facts.add("the device may be off, on another network, or behind a firewall that drops the connection");
                return new PortDiagnosis(PortDiagnosis.Finding.NO_ANSWER,
                        "Nothing answered on " + where + " (" + e.getMessage() + ").", facts);
            }
            facts.add("the host is there, but no program listens on port " + DEVICE_PORT
                    + ": is the device on and its network printing enabled? The Linux library uses port "
                    + DEVICE_PORT + " only");
            return new PortDiagnosis(PortDiagnosis.Finding.CONNECTION_REFUSED,
                    "The connection to " + where + " was refused.", facts);
        } catch (NoRouteToHostException e) {
            facts.add("check the address, the cable and the network settings of this machine");
            return new PortDiagnosis(PortDiagnosis.Finding.HOST_UNREACHABLE,
                    "The network has no route to " + address.getHostAddress() + ".", facts);
        } catch (IOException e) {
            facts.add("the connect failed: " + e.getMessage());
            return new PortDiagnosis(PortDiagnosis.Finding.HOST_UNREACHABLE,
                    "No connection could be made to " + where + ".", facts);
        }
        facts.add("many devices serve one connection at a time: another program may have held it");
        return new PortDiagnosis(PortDiagnosis.Finding.ANSWERS_NOW,
                where + " answers now; the device was busy or starting when the open failed.", facts);
    }

    private static InetAddress firstIPv4(String host, List<String> facts)
            throws UnknownHostException, TimeoutException {
        if (host.isEmpty()) {
            throw new UnknownHostException("empty host name");
        }
        InetAddress[] addresses = lookUp(host);
        for (InetAddress address : addresses) {
            if (address instanceof Inet4Address) {
                return address;
            }
        }
        facts.add(host + " has only IPv6 addresses (" + addresses[0].getHostAddress()
                + "); the library connects over IPv4 only");
        throw new UnknownHostException(host);
    }

    /** The addresses of host, or TimeoutException when no answer came within the limit. */
    private static InetAddress[] lookUp(String host) throws UnknownHostException, TimeoutException {
        FutureTask<InetAddress[]> lookup = new FutureTask<>(() -> InetAddress.getAllByName(host));
        // A lookup cannot be cut short: its thread ends when the resolver gives up.
        Thread thread = new Thread(lookup, "zkpos-diagnosis-lookup");
        thread.setDaemon(true);
        thread.start();
        try {
            return lookup.get(LOOKUP_LIMIT_MS, TimeUnit.MILLISECONDS);
        } catch (ExecutionException e) {
            if (e.getCause() instanceof UnknownHostException) {
                throw (UnknownHostException) e.getCause();
            }
            throw new UnknownHostException(host + ": " + e.getCause());
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new UnknownHostException(host + ": the lookup was interrupted");
        }
    }
}
