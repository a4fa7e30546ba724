// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * A console for a point-of-sale device behind the port libraries: opens one port, sends bytes,
 * shows what comes back. Interactive at a terminal; otherwise it runs commands from a file or
 * standard input and stops at the first failing one with its exit status.
 */
public final class ZkPosConsole {
    private static final long MAX_TIMEOUT_SECONDS = 3600;
    private static final long QUIET_LIMIT_MILLIS = 60_000;
    private static final int QUIET_LIMIT_BYTES = 1 << 20;

    private final PrintStream out;
    private final PrintStream err;
    private final boolean windows =
            System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
    // Set by Ctrl-C at the terminal while a command runs; a long read stops at the next turn.
    private final AtomicBoolean interrupted = new AtomicBoolean();
    private PortDriver driver;
    private boolean open;
    private boolean openOnTcp;
    private long writeTimeout = 5;
    private long readTimeout = 5;

    private ZkPosConsole(PrintStream out, PrintStream err) {
        this.out = out;
        this.err = err;
    }

    public static void main(String[] args) {
        System.exit(new ZkPosConsole(System.out, System.err).run(args));
    }

    private int run(String[] args) {
        List<String> commands = new ArrayList<>();
        String script = null;
        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            if (arg.equals("--help") || arg.equals("-h")) {
                out.println(Help.TEXT);
                return 0;
            } else if (arg.equals("--version")) {
                out.println("zkpos-console " + version());
                return 0;
            } else if (arg.equals("-e") && i + 1 < args.length) {
                commands.add(args[++i]);
            } else if ((arg.startsWith("-") && !arg.equals("-")) || script != null) {
                err.println("error: unexpected argument '" + arg + "' (try --help)");
                return CommandError.BAD_ARGUMENTS;
            } else {
                script = arg;
            }
        }
        if (!commands.isEmpty() && script != null) {
            err.println("error: give either -e commands or a script, not both");
            return CommandError.BAD_ARGUMENTS;
        }
        try {
            if (!commands.isEmpty()) {
                return runScript(commands);
            }
            if (script == null && System.console() != null) {
                return runInteractive();
            }
            BufferedReader reader = script == null || script.equals("-")
                    ? new BufferedReader(new InputStreamReader(System.in, Charset.defaultCharset()))
                    : Files.newBufferedReader(Paths.get(script), Charset.defaultCharset());
            List<String> lines = new ArrayList<>();
            for (String line; (line = reader.readLine()) != null;) {
                lines.add(line);
            }
            return runScript(lines);
        } catch (IOException e) {
            err.println("error: cannot read " + (script == null ? "standard input" : script) + ": "
                    + e.getMessage());
            return CommandError.BAD_ARGUMENTS;
        } finally {
            closeIfOpen();
        }
    }

    private int runScript(List<String> lines) {
        for (String line : lines) {
            String command = line.strip();
            if (command.isEmpty() || command.startsWith("#")) {
                continue;
            }
            out.println("> " + command);
            try {
                if (!execute(stripLeading(line))) {
                    return 0;
                }
            } catch (CommandError e) {
                err.println("error: " + e.getMessage());
                return e.status();
            }
        }
        return 0;
    }

    private int runInteractive() throws IOException {
        LineEditor editor;
        try {
            editor = LineEditor.open(PortChoice.busNames(windows), () -> interrupted.set(true), err);
        } catch (LinkageError | IOException e) {
            // Without JLine the prompt still works, only without editing: on a Linux terminal
            // every key, arrows included, then goes into the line as typed. The Windows console
            // edits lines itself.
            if (!windows) {
                err.println("zkpos-console: no line editing (" + e + "); arrow keys end up in the line");
            }
            return runPlainPrompt();
        }
        try (editor) {
            out.println("zkpos-console " + version() + ": type help for the commands, quit or Ctrl-D to leave");
            while (true) {
                String line = editor.readLine("zkpos> ");
                if (line == null) {
                    return 0;
                }
                if (!executeTyped(line)) {
                    return 0;
                }
            }
        }
    }

    private int runPlainPrompt() throws IOException {
        BufferedReader reader =
                new BufferedReader(new InputStreamReader(System.in, Charset.defaultCharset()));
        while (true) {
            out.print("zkpos> ");
            out.flush();
            String line = reader.readLine();
            if (line == null) {
                out.println();
                return 0;
            }
            if (!executeTyped(line)) {
                return 0;
            }
        }
    }

    /** Runs a line typed at the prompt, where a failing command only says so; false after quit. */
    private boolean executeTyped(String line) {
        if (line.isBlank() || line.strip().startsWith("#")) {
            return true;
        }
        interrupted.set(false);
        try {
            return execute(stripLeading(line));
        } catch (CommandError e) {
            err.println("error: " + e.getMessage());
            err.flush();
            return true;
        }
    }

    /** Runs one command; false when it was quit. */
    private boolean execute(String line) throws CommandError {
        int blank = indexOfBlank(line);
        String name = (blank < 0 ? line : line.substring(0, blank)).toLowerCase(Locale.ROOT);
        // send takes the rest of the line as written, blanks included.
        String rest = blank < 0 ? "" : line.substring(blank + 1);
        List<String> words = Arrays.asList(rest.isBlank() ? new String[0] : rest.strip().split("\\s+"));
        switch (name) {
            case "open": open(words); return true;
            case "send": send(rest); return true;
            case "read": read(words); return true;
            case "timeout": timeout(words); return true;
            case "sleep": sleep(words); return true;
            case "close": close(words); return true;
            case "ports": ports(words); return true;
            case "help": out.println(Help.TEXT); return true;
            case "quit":
            case "exit":
                return false;
            default:
                throw bad("unknown command '" + name + "' (try help)");
        }
    }

    private void open(List<String> words) throws CommandError {
        List<String> positional = new ArrayList<>();
        int trace = 0;
        long write = writeTimeout;
        long read = readTimeout;
        boolean force = false;
        boolean forever = false;
        for (int i = 0; i < words.size(); i++) {
            String word = words.get(i);
            if (word.equals("--force")) {
                force = true;
            } else if (word.equals("--forever")) {
                forever = true;
            } else if (word.startsWith("--")) {
                if (i + 1 >= words.size()) {
                    throw bad("open: " + word + " needs a value");
                }
                String value = words.get(++i);
                switch (word) {
                    case "--write-timeout": write = number(word, value, 0, MAX_TIMEOUT_SECONDS); break;
                    case "--read-timeout": read = number(word, value, 0, MAX_TIMEOUT_SECONDS); break;
                    case "--trace": trace = (int) number(word, value, 0, 5); break;
                    default: throw bad("open: unknown option " + word);
                }
            } else {
                positional.add(word);
            }
        }
        if (positional.size() < 2 || positional.size() > 3) {
            throw bad("usage: open <bus> <port> [baud] [--write-timeout s] [--read-timeout s] [--trace level]"
                    + " [--force] [--forever]");
        }
        PortChoice choice = PortChoice.of(windows, positional.get(0), positional.get(1),
                positional.size() == 3 ? positional.get(2) : null, force);
        boolean tcp = choice.bus.equals("Ethernet");
        if (tcp) {
            OpenAdvice.checkTcpTimeouts("open", write, read, forever);
        }
        PortDriver port = driver();
        // A second open without a close would leave the first port open and forgotten.
        closeIfOpen();
        writeTimeout = write;
        readTimeout = read;
        port.setDeviceTimeout(writeTimeout, readTimeout);
        if (port.openDevice(choice.bus, choice.portName, choice.baudRate, trace > 0, trace) != 0) {
            throw new CommandError(CommandError.OPEN_FAILED,
                    "open failed: " + OpenAdvice.whyNotOpen(windows, choice, writeTimeout, trace));
        }
        open = true;
        openOnTcp = tcp;
        out.println("opened " + choice.portName + " on bus " + choice.bus + OpenAdvice.traceNote(windows, trace));
    }

    private void send(String rest) throws CommandError {
        String text = rest;
        String word = text.strip().split("\\s+", 2)[0];
        byte[] data;
        if (word.startsWith("--hex")) {
            data = Bytes.parseHex(text.strip().substring("--hex".length()));
        } else if (word.startsWith("-")) {
            // A mistyped option would otherwise go to the device as text.
            throw bad("send: '" + word + "' looks like an option, and the only one is --hex; write \\- for text"
                    + " that starts with '-'");
        } else {
            data = Bytes.parseText(text);
            int blanks = text.length() - text.stripLeading().length();
            if (blanks > 0 && data.length > blanks) {
                err.println("warning: the text starts with " + count(blanks).replace("byte", "blank")
                        + ", which " + (blanks == 1 ? "is" : "are") + " sent too");
            }
        }
        if (data.length == 0) {
            throw bad("usage: send <text> | send --hex <bytes>");
        }
        if (!open) {
            throw new CommandError(CommandError.WRITE_FAILED, "send: no port is open (open one first)");
        }
        long sent = driver.writeData(data);
        if (sent != data.length) {
            throw new CommandError(CommandError.WRITE_FAILED, sent < 0
                    ? "write failed: the port took none of the " + data.length + " bytes"
                    : "write failed: the port took " + sent + " of " + data.length + " bytes");
        }
        out.println("sent " + count(sent));
    }

    private void read(List<String> words) throws CommandError {
        requireOpen("read");
        if (words.isEmpty()) {
            byte[] data = driver.readData();
            // Linux says nothing with null, Windows with an empty array.
            if (data == null || data.length == 0) {
                out.println("nothing received");
            } else {
                show(data);
            }
            return;
        }
        if (!words.get(0).equals("--until-quiet") || words.size() > 2) {
            throw bad("usage: read | read --until-quiet [seconds]");
        }
        long quiet = words.size() == 2 ? number("quiet time", words.get(1), 1, 60) : 1;
        driver.setDeviceTimeout(writeTimeout, quiet);
        long total = 0;
        int reads = 0;
        long started = System.nanoTime();
        try {
            while (total < QUIET_LIMIT_BYTES
                    && (System.nanoTime() - started) / 1_000_000 < QUIET_LIMIT_MILLIS) {
                if (interrupted.get()) {
                    out.println("stopped by Ctrl-C");
                    break;
                }
                byte[] data = driver.readData();
                if (data == null || data.length == 0) {
                    break;
                }
                show(data);
                total += data.length;
                reads++;
            }
        } finally {
            driver.setDeviceTimeout(writeTimeout, readTimeout);
        }
        out.println("quiet: " + count(total) + " in " + reads + (reads == 1 ? " read" : " reads"));
    }

    private void timeout(List<String> words) throws CommandError {
        boolean forever = words.size() == 3 && words.get(2).equals("--forever");
        if (words.size() != 2 && !forever) {
            throw bad("usage: timeout <write-seconds> <read-seconds> [--forever]");
        }
        long write = number("write time-out", words.get(0), 0, MAX_TIMEOUT_SECONDS);
        long read = number("read time-out", words.get(1), 0, MAX_TIMEOUT_SECONDS);
        if (open && openOnTcp) {
            OpenAdvice.checkTcpTimeouts("timeout", write, read, forever);
        }
        writeTimeout = write;
        readTimeout = read;
        if (driver != null) {
            driver.setDeviceTimeout(writeTimeout, readTimeout);
        }
        out.println("time-outs: write " + writeTimeout + " s, read " + readTimeout + " s");
    }

    private void sleep(List<String> words) throws CommandError {
        double seconds;
        try {
            seconds = words.size() == 1 ? Double.parseDouble(words.get(0)) : -1;
        } catch (NumberFormatException e) {
            seconds = -1;
        }
        if (!(seconds >= 0 && seconds <= 60)) {
            throw bad("usage: sleep <seconds, at most 60>");
        }
        try {
            Thread.sleep((long) (seconds * 1000));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private void close(List<String> words) throws CommandError {
        if (!words.isEmpty()) {
            throw bad("usage: close");
        }
        out.println(closeIfOpen() ? "closed" : "no port is open");
    }

    private void ports(List<String> words) throws CommandError {
        if (!words.isEmpty()) {
            throw bad("usage: ports");
        }
        OpenAdvice.listPorts(windows, out);
    }

    private boolean closeIfOpen() {
        if (!open) {
            return false;
        }
        driver.closeDevice();
        open = false;
        openOnTcp = false;
        return true;
    }

    private PortDriver driver() throws CommandError {
        if (driver == null) {
            driver = PortDriver.load();
        }
        return driver;
    }

    private void requireOpen(String command) throws CommandError {
        if (!open) {
            throw bad(command + ": no port is open (open one first)");
        }
    }

    private void show(byte[] data) {
        out.println("received " + count(data.length) + ": " + Bytes.toText(data));
        out.print(Bytes.toHexDump(data, "  "));
    }

    /** The version this console was built as, from its jar's manifest. */
    private static String version() {
        String version = ZkPosConsole.class.getPackage().getImplementationVersion();
        return version == null ? "(version unknown: not run from its jar)" : version;
    }

    private static long number(String what, String text, long low, long high) throws CommandError {
        try {
            long value = Long.parseLong(text);
            if (value >= low && value <= high) {
                return value;
            }
        } catch (NumberFormatException e) {
            // reported below like a value out of range
        }
        throw bad(what + ": '" + text + "' is not a whole number from " + low + " to " + high);
    }

    private static String count(long bytes) {
        return bytes + (bytes == 1 ? " byte" : " bytes");
    }

    private static int indexOfBlank(String line) {
        for (int i = 0; i < line.length(); i++) {
            if (Character.isWhitespace(line.charAt(i))) {
                return i;
            }
        }
        return -1;
    }

    private static String stripLeading(String line) {
        return line.stripLeading();
    }

    private static CommandError bad(String message) {
        return new CommandError(CommandError.BAD_ARGUMENTS, message);
    }
}
