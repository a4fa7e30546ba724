// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.File;
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
     * The folder of an all-in-one jar that holds the libraries for this OS and machine, or null
     * when the jar carries none for it (ARM only on Linux, whose JVMs Debian builds for hard
     * float only).
     */
    static String platformFolder(String osName, String osArch, String dataModel) {
        String os = osName == null ? "" : osName.toLowerCase(Locale.ROOT);
        String system = os.startsWith("linux") ? "linux" : os.startsWith("windows") ? "windows" : null;
        String machine = machineFolder(osArch == null ? "" : osArch.toLowerCase(Locale.ROOT), dataModel);
        if (system == null || machine == null || (machine.startsWith("a") && !system.equals("linux"))) {
            return null;
        }
        return system + "-" + machine;
    }

    /** The machine part of the folder's name for os.arch: the one place a new machine is added. */
    private static String machineFolder(String arch, String dataModel) {
        switch (arch) {
            case "amd64":
            case "x86_64":
            case "x86":
            case "i386":
            case "i486":
            case "i586":
            case "i686":
                return is32Bit(dataModel, arch) ? "x86-32" : "x86-64";
            case "aarch64":
                return is32Bit(dataModel, arch) ? null : "aarch64";
            case "arm":
                return is32Bit(dataModel, arch) ? "armhf" : null;
            default:
                return null;
        }
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
            List<String> files = new ArrayList<>();
            for (String companion : companions) {
                if (bundled.carries(System.mapLibraryName(companion)) && !loadedByName(companion)) {
                    files.add(System.mapLibraryName(companion));
                }
            }
            files.add(file);
            try {
                bundled.load(files, path -> System.load(path.toString()));
                return;
            } catch (BundledLibraries.ExtractionException e) {
                tried.add("the copy of " + file + " in " + bundled.source() + " (" + e.getMessage() + ")");
            }
        }
        throw failure(name, tried, first);
    }

    /**
     * Loads a library that the port library needs loaded first, when java.library.path holds
     * it: one found there wins (on Windows that path includes PATH, where a device maker's layer
     * is installed); only without it the jar's own copy is used.
     */
    private static boolean loadedByName(String companion) {
        try {
            System.loadLibrary(companion);
            return true;
        } catch (UnsatisfiedLinkError e) {
            return false;
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
