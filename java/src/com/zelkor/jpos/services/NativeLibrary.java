// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.File;

/**
 * Loads a port library into the running JVM, once per class.
 *
 * <p>The system property {@value #PATH_PROPERTY}, when set, names the library file to load
 * (for example {@code -Dzkpos.library=/opt/pos/libZkPosSo64.so}); otherwise the library is
 * looked up by name on {@code java.library.path}. When neither works, the error says what
 * was tried.
 */
final class NativeLibrary {
    /** System property holding the full path of the library file to load. */
    static final String PATH_PROPERTY = "zkpos.library";

    private NativeLibrary() {}

    static void load(String name) {
        String explicit = System.getProperty(PATH_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            String path = new File(explicit).getAbsolutePath();
            try {
                System.load(path);
                return;
            } catch (UnsatisfiedLinkError e) {
                throw failure(name, "the file " + path + " named by -D" + PATH_PROPERTY, e);
            }
        }
        try {
            System.loadLibrary(name);
        } catch (UnsatisfiedLinkError e) {
            throw failure(name, System.mapLibraryName(name) + " on java.library.path ("
                    + System.getProperty("java.library.path") + ")", e);
        }
    }

    private static UnsatisfiedLinkError failure(String name, String tried, UnsatisfiedLinkError cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot load the port library " + name
                + ": tried " + tried + "; set -D" + PATH_PROPERTY + "=<file> to name it ("
                + cause.getMessage() + ")");
        error.initCause(cause);
        return error;
    }
}
