// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.URISyntaxException;
import java.net.URL;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Properties;
import java.util.Set;

/**
 * The native libraries that an all-in-one jar carries, and their extraction.
 *
 * <p>The jar holds each library under {@value #ROOT}PLATFORM/FILE (PLATFORM being for example
 * "linux-x86-64" or "windows-x86-64", see {@link NativeLibrary#platformFolder}) and an index,
 * {@value #INDEX}, that gives the version of the build and the SHA-256 of every file. A plain
 * jar has no index and carries nothing.
 *
 * <p>A library is extracted into a {@link PrivateFolder} of its version and loaded from there.
 * A copy found there is loaded only when its checksum is the index's; any other file of that
 * name is replaced. A new copy is written under a temporary name, checked, and then renamed
 * over the library's name in one step, so that two JVMs starting at once each find either
 * nothing or a whole, checked file.
 */
final class BundledLibraries {
    static final String ROOT = "/com/zelkor/jpos/services/natives/";
    static final String INDEX = ROOT + "index.properties";

    /** Why a library could not be made ready from the jar. */
    static final class ExtractionException extends Exception {
        private static final long serialVersionUID = 1L;

        ExtractionException(String message) {
            super(message);
        }
    }

    /** Opens one file of the jar's library tree, by its path below {@link #ROOT}; null if absent. */
    interface Resources {
        InputStream open(String path) throws IOException;
    }

    private final Properties index;
    private final String platform;
    private final Resources resources;
    private final List<Path> roots;
    private final Path freshParent;
    private final String source;

    /** {@code freshParent}: where a new folder is made when every root fails; null for none. */
    BundledLibraries(Properties index, String platform, Resources resources, List<Path> roots,
            Path freshParent, String source) {
        this.index = index;
        this.platform = platform;
        this.resources = resources;
        this.roots = roots;
        this.freshParent = freshParent;
        this.source = source;
    }

    /** What the jar holding this class carries for the running JVM. */
    static BundledLibraries fromClassPath() {
        Properties index = new Properties();
        try (InputStream in = BundledLibraries.class.getResourceAsStream(INDEX)) {
            if (in != null) {
                index.load(in);
            }
        } catch (IOException e) {
            index.clear();
        }
        String platform = NativeLibrary.platformFolder(System.getProperty("os.name"),
                System.getProperty("os.arch"), System.getProperty("sun.arch.data.model"));
        return new BundledLibraries(index, platform,
                path -> BundledLibraries.class.getResourceAsStream(ROOT + path),
                PrivateFolder.defaultRoots(), PrivateFolder.freshParent(), jarLocation());
    }

    private static String jarLocation() {
        try {
            URL url = BundledLibraries.class.getProtectionDomain().getCodeSource().getLocation();
            return Paths.get(url.toURI()).toString();
        } catch (RuntimeException | URISyntaxException e) {
            return "the jar";
        }
    }

    /** True when the jar carries {@code file} for this platform. */
    boolean carries(String file) {
        return platform != null && index.getProperty("version") != null
                && index.getProperty(platform + "/" + file) != null;
    }

    /** Where the libraries come from, for messages. */
    String source() {
        return source;
    }

    /** Loads one extracted library into the JVM: {@link System#load} but in tests. */
    interface Loader {
        void load(Path file);
    }

    /**
     * Extracts {@code files} (each checked against the index) into the first private folder
     * where all of them load, loads them in this order and returns that folder. A root that is
     * refused, full, or mounted without the right to run code from it is passed over for the
     * next; after the last, a folder made new in the temporary folder is tried, unless the
     * roots were given without one.
     */
    Path load(List<String> files, Loader loader) throws ExtractionException {
        for (String file : files) {
            if (!carries(file)) {
                throw new ExtractionException("the jar carries no " + file + " for " + platform);
            }
        }
        String version = index.getProperty("version").trim();
        List<String> refused = new ArrayList<>();
        Set<String> loaded = new HashSet<>();
        for (Path root : roots) {
            try {
                Path folder = PrivateFolder.createUnder(root, version, platform);
                loadFrom(folder, files, loaded, loader);
                return folder;
            } catch (IOException | ExtractionException | UnsatisfiedLinkError e) {
                refused.add(e.getMessage());
            }
        }
        if (freshParent != null) {
            Path folder = null;
            try {
                folder = PrivateFolder.createFresh(freshParent);
                loadFrom(folder, files, loaded, loader);
                return folder;
            } catch (IOException | ExtractionException | UnsatisfiedLinkError e) {
                refused.add(e.getMessage());
            } finally {
                // What is loaded stays mapped; the folder, of use to nobody else, goes.
                removeFresh(folder);
            }
        }
        throw new ExtractionException("no private folder could serve it: " + String.join("; ", refused));
    }

    private void loadFrom(Path folder, List<String> files, Set<String> loaded, Loader loader)
            throws IOException, ExtractionException {
        for (String file : files) {
            if (loaded.contains(file)) {
                continue;
            }
            Path copy = extractInto(folder, file);
            try {
                loader.load(copy);
            } catch (UnsatisfiedLinkError e) {
                throw new ExtractionException("cannot load " + copy + " (" + e.getMessage() + ")");
            }
            loaded.add(file);
        }
    }

    private Path extractInto(Path folder, String file) throws IOException, ExtractionException {
        String expected = index.getProperty(platform + "/" + file).trim().toLowerCase(Locale.ROOT);
        Path target = folder.resolve(file);
        try {
            if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS)
                    && expected.equals(sha256(target))) {
                return target;
            }
            writeCopy(file, expected, folder, target);
            if (!expected.equals(sha256(target))) {
                throw new ExtractionException(target + " changed while it was being extracted");
            }
            return target;
        } catch (IOException e) {
            throw new IOException("cannot extract " + file + " to " + folder + ": " + e, e);
        }
    }

    private static void removeFresh(Path folder) {
        if (folder == null) {
            return;
        }
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(folder)) {
            for (Path entry : entries) {
                Files.deleteIfExists(entry);
            }
            Files.deleteIfExists(folder);
        } catch (IOException e) {
            // Left for the temporary folder's own clean-up (Windows keeps a loaded file).
        }
    }

    private void writeCopy(String file, String expected, Path folder, Path target)
            throws IOException, ExtractionException {
        Path part = Files.createTempFile(folder, "." + file + ".", ".part");
        try {
            // Written into the file made above, which only this user may read (0600).
            try (InputStream in = resources.open(platform + "/" + file);
                    OutputStream out = Files.newOutputStream(part)) {
                if (in == null) {
                    throw new ExtractionException("the jar lists " + file + " but does not hold it");
                }
                in.transferTo(out);
            }
            String actual = sha256(part);
            if (!expected.equals(actual)) {
                throw new ExtractionException("the jar's " + file + " has the checksum " + actual
                        + ", its index says " + expected);
            }
            if (Files.getFileAttributeView(part, PosixFileAttributeView.class) != null) {
                Files.setPosixFilePermissions(part, PosixFilePermissions.fromString("r-x------"));
            }
            try {
                Files.move(part, target, StandardCopyOption.ATOMIC_MOVE,
                        StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(part, target, StandardCopyOption.REPLACE_EXISTING);
            }
        } finally {
            Files.deleteIfExists(part);
        }
    }

    static String sha256(Path file) throws IOException {
        MessageDigest digest;
        try {
            digest = MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IOException("no SHA-256 in this JVM", e);
        }
        byte[] buffer = new byte[65536];
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            for (int n; (n = in.read(buffer)) > 0;) {
                digest.update(buffer, 0, n);
            }
        }
        StringBuilder hex = new StringBuilder();
        for (byte b : digest.digest()) {
            hex.append(String.format("%02x", b & 0xff));
        }
        return hex.toString();
    }
}
