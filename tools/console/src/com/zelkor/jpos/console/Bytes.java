// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import java.io.ByteArrayOutputStream;
import java.util.Locale;
import java.util.regex.Pattern;

/**
 * The console's two ways of writing bytes: text with control-byte escapes, which {@code send}
 * reads and every reply is shown in, and a hex dump.
 *
 * <p>Escapes: the ASCII control names in angle brackets ({@code <STX>}, {@code <ETX>},
 * {@code <ENQ>}, {@code <ACK>}, {@code <NAK>}, {@code <CR>}, {@code <LF>}, ... any letter
 * case), {@code \xHH} for any byte, {@code \r \n \t}, {@code \\} for a backslash and
 * {@code \<} for an angle bracket that would otherwise start a name, {@code \-} for a dash
 * (the text may not start with a bare one, which {@code send} takes for a mistyped option); a
 * word in angle brackets that is no control name, or one only by its blanks, is refused rather
 * than sent as text. Other characters up to
 * U+00FF are sent as one byte each (ISO-8859-1).
 */
final class Bytes {
    private static final String[] CONTROL_NAMES = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK",
            "BEL", "BS", "HT", "LF", "VT", "FF", "CR", "SO", "SI", "DLE", "DC1", "DC2", "DC3", "DC4",
            "NAK", "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US"};
    private static final int DEL = 0x7f;
    private static final Pattern NAME_LIKE = Pattern.compile("[A-Za-z][A-Za-z0-9]{0,5}");

    private Bytes() {}

    /** Reads text with escapes into bytes. */
    static byte[] parseText(String text) throws CommandError {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        int i = 0;
        while (i < text.length()) {
            char c = text.charAt(i);
            if (c == '<') {
                int end = text.indexOf('>', i);
                String name = end > i ? text.substring(i + 1, end) : "";
                int code = controlCode(name);
                if (code >= 0) {
                    out.write(code);
                    i = end + 1;
                    continue;
                }
                // A typo in a name must not go out as text and leave a frame open.
                String squeezed = name.replaceAll("\\s", "");
                if (!squeezed.equals(name) && controlCode(squeezed) >= 0) {
                    throw bad("<" + name + "> has blanks in it; write <" + squeezed.toUpperCase(Locale.ROOT)
                            + "> for the control byte, or \\< for a '<' that starts no name");
                }
                if (NAME_LIKE.matcher(name).matches()) {
                    throw bad("unknown name <" + name + ">; the names are <" + String.join("> <", CONTROL_NAMES)
                            + "> <DEL>; write \\< for a '<' that starts no name");
                }
                out.write(c);
                i++;
            } else if (c == '\\') {
                if (i + 1 >= text.length()) {
                    throw bad("a backslash ends the text; write \\\\ for a backslash");
                }
                char e = text.charAt(i + 1);
                if (e == 'x') {
                    if (i + 4 > text.length()) {
                        throw bad("\\x needs two hex digits");
                    }
                    out.write(hexByte(text.substring(i + 2, i + 4)));
                    i += 4;
                    continue;
                }
                switch (e) {
                    case 'r': out.write('\r'); break;
                    case 'n': out.write('\n'); break;
                    case 't': out.write('\t'); break;
                    case '\\': out.write('\\'); break;
                    case '<': out.write('<'); break;
                    case '-': out.write('-'); break;
                    default: throw bad("unknown escape \\" + e + " (use \\xHH, \\r, \\n, \\t, \\\\, \\< or \\-)");
                }
                i += 2;
            } else {
                if (c > 0xff) {
                    throw bad("'" + c + "' is not a single byte; write it as \\xHH bytes");
                }
                out.write(c);
                i++;
            }
        }
        return out.toByteArray();
    }

    /** Reads hex bytes, separated by blanks or not: "02 41 03", "024103", "0x02 0x41". */
    static byte[] parseHex(String text) throws CommandError {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (String word : text.trim().split("[\\s,]+")) {
            if (word.isEmpty()) {
                continue;
            }
            String digits = word.startsWith("0x") || word.startsWith("0X") ? word.substring(2) : word;
            if (digits.isEmpty() || digits.length() % 2 != 0) {
                throw bad("'" + word + "' is not a whole number of hex bytes");
            }
            for (int i = 0; i < digits.length(); i += 2) {
                out.write(hexByte(digits.substring(i, i + 2)));
            }
        }
        return out.toByteArray();
    }

    /** Shows bytes as text in the escapes that {@link #parseText} reads back. */
    static String toText(byte[] data) {
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < data.length; i++) {
            int b = data[i] & 0xff;
            if (b < CONTROL_NAMES.length) {
                text.append('<').append(CONTROL_NAMES[b]).append('>');
            } else if (b == '\\') {
                text.append("\\\\");
            } else if (b == '<' && startsName(data, i + 1)) {
                text.append("\\<");
            } else if (b < DEL) {
                text.append((char) b);
            } else {
                text.append(String.format("\\x%02x", b));
            }
        }
        return text.toString();
    }

    /** A hex dump, 16 bytes a line with offset and printable text, every line indented. */
    static String toHexDump(byte[] data, String indent) {
        StringBuilder dump = new StringBuilder();
        for (int line = 0; line < data.length; line += 16) {
            StringBuilder hex = new StringBuilder();
            StringBuilder printable = new StringBuilder();
            for (int i = line; i < Math.min(line + 16, data.length); i++) {
                int b = data[i] & 0xff;
                hex.append(String.format("%02x ", b));
                printable.append(b >= 0x20 && b < DEL ? (char) b : '.');
            }
            dump.append(String.format("%s%04x  %-48s |%s|%n", indent, line, hex, printable));
        }
        return dump.toString();
    }

    private static boolean startsName(byte[] data, int from) {
        StringBuilder name = new StringBuilder();
        for (int i = from; i < data.length && i < from + 7; i++) {
            if (data[i] == '>') {
                return NAME_LIKE.matcher(name).matches();
            }
            name.append((char) (data[i] & 0xff));
        }
        return false;
    }

    private static int controlCode(String name) {
        String upper = name.toUpperCase(Locale.ROOT);
        for (int code = 0; code < CONTROL_NAMES.length; code++) {
            if (CONTROL_NAMES[code].equals(upper)) {
                return code;
            }
        }
        return upper.equals("DEL") ? DEL : -1;
    }

    private static int hexByte(String digits) throws CommandError {
        try {
            if (digits.length() != 2 || digits.charAt(0) == '+' || digits.charAt(0) == '-') {
                throw new NumberFormatException();
            }
            return Integer.parseInt(digits, 16);
        } catch (NumberFormatException e) {
            throw bad("'" + digits + "' is not a hex byte");
        }
    }

    private static CommandError bad(String message) {
        return new CommandError(CommandError.BAD_ARGUMENTS, message);
    }
}
