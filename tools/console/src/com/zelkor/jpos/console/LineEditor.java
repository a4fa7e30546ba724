// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import com.zelkor.jpos.services.SerialDevices;
import java.io.Closeable;
import java.io.IOException;
import java.nio.file.Paths;
import java.util.List;
import org.jline.reader.Candidate;
import org.jline.reader.EndOfFileException;
import org.jline.reader.LineReader;
import org.jline.reader.LineReaderBuilder;
import org.jline.reader.ParsedLine;
import org.jline.reader.UserInterruptException;
import org.jline.reader.impl.DefaultParser;
import org.jline.terminal.Terminal;
import org.jline.terminal.TerminalBuilder;

/**
 * The prompt at a terminal: line editing, history and completion, so that arrow and function
 * keys edit the line and never reach a device as escape sequences. Ctrl-C at the prompt drops
 * the line; during a command it calls the given action, which lets a long read stop.
 */
final class LineEditor implements Closeable {
    private static final String[] COMMANDS = {
        "open", "send", "read", "timeout", "sleep", "close", "ports", "help", "quit"};
    private static final String[] OPEN_OPTIONS = {
        "--write-timeout", "--read-timeout", "--trace", "--force", "--forever"};

    private final Terminal terminal;
    private final LineReader reader;

    private LineEditor(Terminal terminal, LineReader reader) {
        this.terminal = terminal;
        this.reader = reader;
    }

    /** Opens the editor on this process's terminal; {@code onInterrupt} runs on Ctrl-C during a command. */
    static LineEditor open(List<String> buses, Runnable onInterrupt) throws IOException {
        Terminal terminal = TerminalBuilder.builder().system(true).nativeSignals(true)
                .signalHandler(signal -> {
                    if (signal == Terminal.Signal.INT) {
                        onInterrupt.run();
                    }
                })
                .build();
        // Commands are split at blanks only: quotes and backslashes belong to the text that
        // send sends, so the parser must neither join lines nor strip them.
        DefaultParser parser = new DefaultParser();
        parser.setQuoteChars(new char[0]);
        parser.setEscapeChars(new char[0]);
        LineReaderBuilder builder = LineReaderBuilder.builder().terminal(terminal).appName("zkpos-console")
                .parser(parser).completer((lineReader, line, candidates) -> complete(buses, line, candidates));
        // $HOME first, as shells do; Java's user.home comes from the password file alone.
        String home = System.getenv("HOME");
        if (home == null || home.isEmpty()) {
            home = System.getProperty("user.home");
        }
        if (home != null && !home.isEmpty()) {
            builder.variable(LineReader.HISTORY_FILE, Paths.get(home, ".zkpos_console_history"));
        }
        LineReader reader = builder.build();
        // History expansion would take "!" and "\" out of the text to send.
        reader.setOpt(LineReader.Option.DISABLE_EVENT_EXPANSION);
        return new LineEditor(terminal, reader);
    }

    /** The next line; "" after Ctrl-C, null after Ctrl-D on an empty line. */
    String readLine(String prompt) {
        try {
            return reader.readLine(prompt);
        } catch (UserInterruptException e) {
            return "";
        } catch (EndOfFileException e) {
            return null;
        }
    }

    private static void complete(List<String> buses, ParsedLine line, List<Candidate> candidates) {
        List<String> words = line.words();
        int index = line.wordIndex();
        if (index == 0) {
            add(candidates, COMMANDS);
            return;
        }
        String command = words.get(0);
        if (command.equals("open")) {
            if (index == 1) {
                buses.forEach(bus -> candidates.add(new Candidate(bus)));
            } else if (index == 2 && words.get(1).equals("serial")) {
                for (SerialDevices.Device device : SerialDevices.ofThisMachine().list()) {
                    candidates.add(new Candidate(device.path().toString()));
                }
            } else {
                add(candidates, OPEN_OPTIONS);
            }
        } else if (command.equals("read") && index == 1) {
            add(candidates, "--until-quiet");
        } else if (command.equals("send") && index == 1) {
            add(candidates, "--hex");
        }
    }

    private static void add(List<Candidate> candidates, String... values) {
        for (String value : values) {
            candidates.add(new Candidate(value));
        }
    }

    @Override
    public void close() throws IOException {
        terminal.close();
    }
}
