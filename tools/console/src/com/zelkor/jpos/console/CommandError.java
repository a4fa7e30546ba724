// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

/** A command that failed: a one-line message and the exit status a script ends with. */
final class CommandError extends Exception {
    private static final long serialVersionUID = 1L;

    /** Bad arguments: unknown command or option, malformed number or escape. */
    static final int BAD_ARGUMENTS = 2;
    /** The port did not open. */
    static final int OPEN_FAILED = 3;
    /** The port did not take every byte, or no port was open to take them. */
    static final int WRITE_FAILED = 4;
    /** The port library could not be loaded into this JVM. */
    static final int NO_LIBRARY = 5;

    private final int status;

    CommandError(int status, String message) {
        super(message);
        this.status = status;
    }

    int status() {
        return status;
    }
}
