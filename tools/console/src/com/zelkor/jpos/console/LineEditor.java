// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import com.zelkor.jpos.services.SerialDevices;
import java.io.Closeable;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import org.jline.keymap.KeyMap;
import org.jline.reader.Binding;
import org.jline.reader.Candidate;
import org.jline.reader.EndOfFileException;
import org.jline.reader.LineReader;
import org.jline.reader.LineReaderBuilder;
import org.jline.reader.ParsedLine;
import org.jline.reader.Reference;
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
    static LineEditor open(List<String> buses, Runnable onInterrupt, PrintStream err) throws IOException {
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
        Path history = historyFile(err);
        if (history != null) {
            builder.variable(LineReader.HISTORY_FILE, history);
        }
        LineReader reader = builder.build();
        if (history != null) {
            try {
                // Read now, not at the first prompt, where a malformed line would end the console.
                reader.getHistory().attach(reader);
            } catch (RuntimeException e) {
                reader.setVariable(LineReader.HISTORY_FILE, null);
                err.println("zkpos-console: cannot read the history file " + history + ", which holds a line of"
                        + " another form (" + e + "); going on without history");
            }
        }
        // History expansion would take "!" and "\" out of the text to send.
        reader.setOpt(LineReader.Option.DISABLE_EVENT_EXPANSION);
        bindEditingKeys(reader.getKeyMaps().get(LineReader.EMACS));
        return new LineEditor(terminal, reader);
    }

    /**
     * $HOME/.zkpos_console_history, as shells find their history, or null for none. Root takes
     * $HOME only when root owns it: with another user's $HOME (sudo -E) it would append to
     * whatever that user made the file, a link included; root then uses the home of the
     * password file, and never a history file that is a link.
     */
    private static Path historyFile(PrintStream err) {
        String home = System.getenv("HOME");
        boolean root = ownerOf(Paths.get("/proc/self")) == 0;
        if (home == null || home.isEmpty() || !Paths.get(home).isAbsolute()
                || (root && ownerOf(Paths.get(home)) != 0)) {
            home = System.getProperty("user.home");
        }
        if (home == null || !Paths.get(home).isAbsolute()) {
            return null;
        }
        Path file = Paths.get(home, ".zkpos_console_history");
        if (root && Files.isSymbolicLink(file)) {
            err.println("zkpos-console: the history file " + file + " is a link; going on without history");
            return null;
        }
        return file;
    }

    private static long ownerOf(Path path) {
        try {
            return ((Number) Files.getAttribute(path, "unix:uid")).longValue();
        } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
            return -1;
        }
    }

    /**
     * Binds the editing keys in both forms a terminal sends them in. The key map follows the
     * terminal description, which names only one form; keys typed while a command still runs
     * arrive in the other one, and an unbound sequence would end up in the line as text.
     */
    private static void bindEditingKeys(KeyMap<Binding> keys) {
        bind(keys, LineReader.UP_LINE_OR_HISTORY, "\033[A", "\033OA");
        bind(keys, LineReader.DOWN_LINE_OR_HISTORY, "\033[B", "\033OB");
        bind(keys, LineReader.FORWARD_CHAR, "\033[C", "\033OC");
        bind(keys, LineReader.BACKWARD_CHAR, "\033[D", "\033OD");
        bind(keys, LineReader.BEGINNING_OF_LINE, "\033[H", "\033OH", "\033[1~", "\033[7~");
        bind(keys, LineReader.END_OF_LINE, "\033[F", "\033OF", "\033[4~", "\033[8~");
        bind(keys, LineReader.DELETE_CHAR, "\033[3~");
        bind(keys, LineReader.FORWARD_WORD, "\033[1;5C");
        bind(keys, LineReader.BACKWARD_WORD, "\033[1;5D");
        // Insert, Page Up and Down and the function keys do nothing here.
        bind(keys, LineReader.BEEP, "\033[2~", "\033[5~", "\033[6~", "\033OP", "\033OQ", "\033OR", "\033OS",
                "\033[11~", "\033[12~", "\033[13~", "\033[14~", "\033[15~", "\033[17~", "\033[18~", "\033[19~",
                "\033[20~", "\033[21~", "\033[23~", "\033[24~");
    }

    private static void bind(KeyMap<Binding> keys, String widget, String... sequences) {
        keys.bind(new Reference(widget), sequences);
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
