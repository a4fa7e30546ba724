// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

import com.zelkor.jpos.services.LinPortComm;
import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

/**
 * What the port library costs against the raw system calls and against what a Java developer
 * would use instead, all measured in one run and printed as one table.
 *
 * <p>Needs a private network and /var/log (tests/support/private-run.sh): the peer takes
 * 127.0.0.1:9100, and the traced rows write the library's own trace file. System properties:
 * {@code zkpos.library} (the library), {@code zkpos.bench.baseline} (the plain C baselines),
 * {@code zkpos.bench.peer} and {@code zkpos.bench.trace} (the peer and the trace benchmark
 * programs), and optionally {@code zkpos.bench.wine} with {@code zkpos.bench.wintrace} (the Wine
 * runner and the Windows trace benchmark it runs). Arguments: {@code --quick}, one short pass
 * for CI; {@code --only=SECTION,...}, some sections only (see {@link Settings}).
 */
public final class PortBench {
    private PortBench() {}

    public static void main(String[] args) throws Exception {
        Settings settings = Settings.of(args);
        if (!"1".equals(System.getenv("ZKPOS_PRIVATE_RUN"))) {
            System.err.println("PortBench: run me under tests/support/private-run.sh: I listen on"
                    + " 127.0.0.1:9100 and write /var/log/ZkPosSoLog.txt");
            System.exit(2);
        }
        startWatchdog(settings.limitSeconds);

        Process peer = new ProcessBuilder(property("zkpos.bench.peer"))
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        List<Row> rows = new ArrayList<>();
        try {
            BufferedReader peerOutput = new BufferedReader(
                    new InputStreamReader(peer.getInputStream(), StandardCharsets.UTF_8));
            String terminal = CompletableFuture.supplyAsync(() -> {
                try {
                    return peerOutput.readLine();
                } catch (IOException e) {
                    return null;
                }
            }).get(10, TimeUnit.SECONDS);
            if (terminal == null) {
                throw new IllegalStateException("the peer did not start");
            }

            LinPortComm port = new LinPortComm();
            port.SetDeviceTimeout(5, 5);
            TcpBench tcp = new TcpBench(port, settings);
            if (settings.runs("tcp")) {
                tcp.roundTrip(rows);
            }
            if (settings.runs("bulk")) {
                tcp.bulk(rows);
            }
            SerialBench serial = new SerialBench(port, settings, terminal);
            if (settings.runs("serial")) {
                serial.replies(rows);
            }
            if (settings.runs("rxtx")) {
                rxtx(rows, settings, terminal, serial);
            }
            if (settings.runs("trace")) {
                trace(rows, settings);
            }
            if (settings.runs("steady")) {
                new SteadyState(port, settings).measure(rows);
            }
        } finally {
            peer.getOutputStream().close();
            if (!peer.waitFor(10, TimeUnit.SECONDS)) {
                peer.destroyForcibly();
            }
        }
        print(rows, settings);
    }

    private static String property(String name) {
        String value = System.getProperty(name);
        if (value == null || value.isEmpty()) {
            throw new IllegalStateException("system property " + name + " is not set");
        }
        return value;
    }

    /** Every wait is bounded; this bounds the whole run as well. */
    private static void startWatchdog(int seconds) {
        Thread watchdog = new Thread(() -> {
            try {
                Thread.sleep(seconds * 1000L);
            } catch (InterruptedException e) {
                return;
            }
            System.err.println("PortBench: not finished after " + seconds + " s, giving up");
            Runtime.getRuntime().halt(3);
        }, "watchdog");
        watchdog.setDaemon(true);
        watchdog.start();
    }

    /** The output and exit status of a child process that was given at most some seconds. */
    private static final class Child {
        final List<String> output;
        final String failure;

        Child(List<String> output, String failure) {
            this.output = output;
            this.failure = failure;
        }
    }

    private static Child runChild(List<String> command, int seconds) throws Exception {
        File out = File.createTempFile("zkpos-bench", ".out");
        File err = File.createTempFile("zkpos-bench", ".err");
        try {
            Process child = new ProcessBuilder(command).redirectOutput(out).redirectError(err)
                    .directory(new File(System.getProperty("java.io.tmpdir")))
                    .redirectInput(ProcessBuilder.Redirect.PIPE).start();
            child.getOutputStream().close();
            String failure = null;
            if (!child.waitFor(seconds, TimeUnit.SECONDS)) {
                child.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
                failure = "hung, killed after " + seconds + " s";
            } else if (child.exitValue() != 0) {
                int status = child.exitValue();
                failure = status > 128 ? "crashed (signal " + (status - 128) + ")"
                                       : "failed (exit " + status + ")";
            }
            List<String> output = Files.readAllLines(out.toPath(), StandardCharsets.UTF_8);
            if (failure != null) {
                // A crashing JVM reports on its standard output, other failures on the error one.
                List<String> said = new ArrayList<>(output);
                said.addAll(Files.readAllLines(err.toPath(), StandardCharsets.UTF_8));
                failure = reason(failure, said);
            }
            return new Child(output, failure);
        } finally {
            out.delete();
            err.delete();
        }
    }

    /** The frame a crashed JVM names as the culprit, else the last line the child wrote. */
    private static String reason(String failure, List<String> said) {
        for (int i = 0; i + 1 < said.size(); ++i) {
            if (said.get(i).startsWith("# Problematic frame:")) {
                return "JVM crashed in " + said.get(i + 1).replaceFirst("^#\\s*C?\\s*", "")
                        .replaceAll("\\s+", " ");
            }
        }
        String last = said.stream().filter(line -> !line.isBlank())
                              .reduce((first, second) -> second).orElse("");
        return last.isEmpty() ? failure : failure + ": " + last.trim();
    }

    private static void rxtx(List<Row> rows, Settings settings, String terminal,
            SerialBench serial) throws Exception {
        String java = ProcessHandle.current().info().command().orElse("java");
        File crashReport = new File(System.getProperty("java.io.tmpdir"),
                "zkpos-bench-rxtx-" + ProcessHandle.current().pid() + ".log");
        // RXTX keeps lock files in /var/lock, and a crash leaves them behind: it gets a lock
        // directory of its own, gone with its mount namespace.
        List<String> command = List.of("unshare", "--mount", "--propagation", "private", "sh",
                "-c", "mount -t tmpfs -o mode=1777 zkpos-bench-lock /var/lock && exec \"$@\"", "sh",
                java, "-XX:ErrorFile=" + crashReport, "-XX:-CreateCoredumpOnCrash", "-cp",
                System.getProperty("java.class.path"),
                "-Dzkpos.bench.baseline=" + property("zkpos.bench.baseline"),
                "-Djava.library.path=/usr/lib/jni", "-Dgnu.io.rxtx.SerialPorts=" + terminal,
                RxtxChild.class.getName(), terminal, Integer.toString(settings.shortReplyRounds),
                Integer.toString(settings.shortReplies), Integer.toString(settings.longReplyRounds));
        Child child = runChild(command, settings.quick ? 60 : 300);
        crashReport.delete();
        for (int size : new int[] {SerialBench.SHORT_REPLY, SerialBench.LONG_REPLY}) {
            String what = "3 serial reply, " + size + " B" + (size >= 8 ? " (80 ms pause)" : "");
            String[] found = null;
            for (String line : child.output) {
                String[] cells = line.split("\t");
                if (cells.length == 5 && cells[0].equals("RXTX")
                        && cells[1].equals(Integer.toString(size))) {
                    found = cells;
                }
            }
            if (found == null) {
                rows.add(new Row(what, "RXTX, child JVM",
                        child.failure != null ? child.failure : "gave no figure", "-", "-",
                        "library ahead", "-"));
                continue;
            }
            double ratio = Double.parseDouble(found[4]);
            Double library = serial.libraryRatios.get(size);
            if (library == null) {
                library = Double.NaN;  // the library's rows were not run this time
            }
            rows.add(new Row(what, "RXTX read, receive time-out, child JVM",
                    SerialBench.milliseconds(Double.parseDouble(found[2])),
                    "plain C in that JVM " + SerialBench.milliseconds(Double.parseDouble(found[3])),
                    Row.times(ratio),
                    String.format("library ahead (library %.3fx of C)", library),
                    Row.verdict(library < ratio)));
        }
    }

    private static void trace(List<Row> rows, Settings settings) throws Exception {
        Child linux = runChild(List.of(property("zkpos.bench.trace"),
                Integer.toString(settings.traceRounds), Integer.toString(settings.traceLines)), 300);
        addRows(rows, linux, "4 trace, Linux", "PrintLog");

        String wine = System.getProperty("zkpos.bench.wine", "");
        String program = System.getProperty("zkpos.bench.wintrace", "");
        if (wine.isEmpty() || program.isEmpty()) {
            rows.add(new Row("4 trace, Windows (Wine)", "PrintTrace",
                    "not measured: no mingw-w64 or Wine at build time", "-", "-", "ratios only",
                    "-"));
            return;
        }
        // Wine's first start in a new prefix takes a while; it is bounded by the runner.
        Child windows = runChild(List.of(wine, program, Integer.toString(settings.traceRounds),
                Integer.toString(settings.traceLines / 4)), 900);
        addRows(rows, windows, "4 trace, Windows (Wine)", "PrintTrace");
    }

    private static void addRows(List<Row> rows, Child child, String what, String variant) {
        int before = rows.size();
        for (String line : child.output) {
            Row row = Row.parse(line);
            if (row != null) {
                rows.add(row);
            }
        }
        if (rows.size() == before) {
            rows.add(new Row(what, variant,
                    child.failure != null ? child.failure : "gave no figure", "-", "-", "-", "NO"));
        }
    }

    private static void print(List<Row> rows, Settings settings) {
        String[] head = {"measurement", "variant", "median", "baseline, same run",
            "ratio (median of per-round)", "goal", "met"};
        List<String[]> cells = new ArrayList<>();
        cells.add(head);
        for (Row row : rows) {
            cells.add(new String[] {row.measurement, row.variant, row.median, row.baseline,
                row.ratio, row.goal, row.met});
        }
        int[] widths = new int[head.length];
        for (String[] line : cells) {
            for (int i = 0; i < line.length; ++i) {
                widths[i] = Math.max(widths[i], line[i].length());
            }
        }
        StringBuilder table = new StringBuilder();
        table.append(settings.quick ? "Quick pass (figures meaningless, only proves it runs)\n"
                                    : "");
        table.append("Ratios are variant time / baseline time within the same round: below 1 is"
                + " faster than the baseline.\n\n");
        for (int n = 0; n < cells.size(); ++n) {
            String[] line = cells.get(n);
            table.append('|');
            for (int i = 0; i < line.length; ++i) {
                table.append(' ').append(String.format("%-" + widths[i] + "s", line[i])).append(" |");
            }
            table.append('\n');
            if (n == 0) {
                table.append('|');
                for (int width : widths) {
                    table.append('-').append("-".repeat(width)).append("-|");
                }
                table.append('\n');
            }
        }
        System.out.print(table);
        System.out.flush();
    }
}
