// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.File;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Loads a port library into the running JVM, once per class.
 *
 * <p>Three places are tried, in this order:
 *
 * <ol>
 *   <li>the file named by the system property {@value #PATH_PROPERTY}, when it is set (for
 *       example {@code -Dzkpos.library=/opt/pos/libZkPosSo64.so}); nothing else is tried then,
 *       so a wrong setting is never hidden by another copy;
 *   <li>the library by name on {@code java.library.path};
 *   <li>the copy that an all-in-one jar carries for this system and data model, extracted into a
 *       private folder of the user's (see {@link BundledLibraries}).
 * </ol>
 *
 * When none works, the error names each place that was actually tried and why it failed.
 */
final class NativeLibrary {
    /** System property holding the full path of the library file to load. */
    static final String PATH_PROPERTY = "zkpos.library";

    private NativeLibrary() {}

    /** True in a 32-bit JVM, which can only load the i386 library. */
    static boolean is32BitJvm() {
        return is32Bit(System.getProperty("sun.arch.data.model"), System.getProperty("os.arch"));
    }

    static boolean is32Bit(String dataModel, String osArch) {
        if (dataModel != null && (dataModel.equals("32") || dataModel.equals("64"))) {
            return dataModel.equals("32");
        }
        String arch = osArch == null ? "" : osArch.toLowerCase(Locale.ROOT);
        return arch.equals("x86") || arch.matches("i[3-6]86") || arch.equals("arm");
    }

    /**
     * The folder of an all-in-one jar that holds the libraries for this OS and data model, or
     * null when the jar carries none for it (x86 machines, and Linux on aarch64 and 32-bit ARM,
     * whose JVMs Debian builds for hard float only).
     */
    static String platformFolder(String osName, String osArch, String dataModel) {
        String os = osName == null ? "" : osName.toLowerCase(Locale.ROOT);
        String arch = osArch == null ? "" : osArch.toLowerCase(Locale.ROOT);
        boolean linux = os.startsWith("linux");
        if (linux && arch.equals("aarch64")) {
            return is32Bit(dataModel, osArch) ? null : "linux-aarch64";
        }
        if (linux && arch.equals("arm")) {
            return is32Bit(dataModel, osArch) ? "linux-armhf" : null;
        }
        boolean x86 = arch.equals("x86") || arch.matches("i[3-6]86") || arch.equals("amd64")
                || arch.equals("x86_64");
        if (!x86) {
            return null;
        }
        String bits = is32Bit(dataModel, osArch) ? "x86-32" : "x86-64";
        if (os.startsWith("linux")) {
            return "linux-" + bits;
        }
        if (os.startsWith("windows")) {
            return "windows-" + bits;
        }
        return null;
    }

    /**
     * Loads the library {@code name}. {@code companions} name the libraries that it loads by
     * name itself (the Windows communication layer): when the library comes from the jar, the
     * jar's copies of those are loaded first, unless java.library.path holds them.
     */
    static void load(String name, String... companions) {
        load(name, companions, System.getProperty(PATH_PROPERTY), BundledLibraries.fromClassPath());
    }

    /** As {@link #load(String, String...)}, with the property's value and the jar's libraries given. */
    static void load(String name, String[] companions, String explicit, BundledLibraries bundled) {
        if (explicit != null && !explicit.isEmpty()) {
            String path = new File(explicit).getAbsolutePath();
            try {
                System.load(path);
                return;
            } catch (UnsatisfiedLinkError e) {
                throw failure(name, List.of("the file " + path + " named by -D" + PATH_PROPERTY
                        + " (" + e.getMessage() + ")"), e);
            }
        }
        List<String> tried = new ArrayList<>();
        UnsatisfiedLinkError first;
        try {
            System.loadLibrary(name);
            return;
        } catch (UnsatisfiedLinkError e) {
            first = e;
            tried.add(System.mapLibraryName(name) + " on java.library.path ("
                    + System.getProperty("java.library.path") + ")");
        }
        String file = System.mapLibraryName(name);
        if (bundled.carries(file)) {
            try {
                for (String companion : companions) {
                    loadCompanion(companion, bundled);
                }
                Path extracted = bundled.extract(file);
                System.load(extracted.toString());
                return;
            } catch (BundledLibraries.ExtractionException | UnsatisfiedLinkError e) {
                tried.add("the copy of " + file + " in " + bundled.source() + " ("
                        + e.getMessage() + ")");
            }
        }
        throw failure(name, tried, first);
    }

    /**
     * A library that the port library needs loaded first. One found on java.library.path
     * wins (on Windows that path includes PATH, where a device maker's layer is installed);
     * only then the jar's own copy is used.
     */
    private static void loadCompanion(String name, BundledLibraries bundled)
            throws BundledLibraries.ExtractionException {
        String file = System.mapLibraryName(name);
        if (!bundled.carries(file)) {
            return;
        }
        try {
            System.loadLibrary(name);
            return;
        } catch (UnsatisfiedLinkError e) {
            // Not installed on this machine: the jar's copy follows.
        }
        try {
            System.load(bundled.extract(file).toString());
        } catch (UnsatisfiedLinkError e) {
            throw new BundledLibraries.ExtractionException(
                    "cannot load the " + file + " it needs: " + e.getMessage());
        }
    }

    private static UnsatisfiedLinkError failure(String name, List<String> tried,
            UnsatisfiedLinkError cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot load the port library " + name
                + ": tried " + String.join("; then ", tried) + ". Set -D" + PATH_PROPERTY
                + "=<file> to name it");
        error.initCause(cause);
        return error;
    }
}
