// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;

/**
 * The folder that libraries extracted from the jar are loaded from: {@code ROOT/VERSION/PLATFORM}
 * where only the user running the JVM may write.
 *
 * <p>Whatever is loaded from there runs inside the JVM, so every folder of the chain from ROOT
 * down must be a real directory (not a link), owned by this user and writable by nobody else;
 * the folders this class creates are made so (mode 0700). A root that fails the check is
 * passed over for the next one, never repaired behind its owner's back.
 */
final class PrivateFolder {
    private static final Set<PosixFilePermission> OWNER_ONLY =
            PosixFilePermissions.fromString("rwx------");

    private PrivateFolder() {}

    /**
     * Where to look, best first: the user's cache folder (XDG_CACHE_HOME or ~/.cache; on Windows
     * %LOCALAPPDATA%), then a folder of the user's own in the temporary folder, for services
     * whose home cannot be written.
     */
    static List<Path> defaultRoots() {
        List<Path> roots = new ArrayList<>();
        String user = System.getProperty("user.name", "user");
        boolean windows = System.getProperty("os.name", "").startsWith("Windows");
        String cache = windows ? System.getenv("LOCALAPPDATA") : System.getenv("XDG_CACHE_HOME");
        try {
            if (cache != null && Paths.get(cache).isAbsolute()) {
                roots.add(Paths.get(cache, "zkpos"));
            } else if (!windows && System.getProperty("user.home") != null) {
                roots.add(Paths.get(System.getProperty("user.home"), ".cache", "zkpos"));
            }
            roots.add(Paths.get(System.getProperty("java.io.tmpdir"), "zkpos-" + user));
        } catch (InvalidPathException e) {
            // A strange setting only removes that candidate.
        }
        return roots;
    }

    /**
     * Creates (or checks) ROOT/version/platform under the first root where that can be done
     * safely, and returns it.
     */
    static Path create(List<Path> roots, String version, String platform)
            throws BundledLibraries.ExtractionException {
        List<String> refused = new ArrayList<>();
        for (Path root : roots) {
            try {
                return createUnder(root, version, platform);
            } catch (IOException e) {
                refused.add(e.getMessage());
            }
        }
        throw new BundledLibraries.ExtractionException(
                "no private folder to extract it to: " + String.join("; ", refused));
    }

    private static Path createUnder(Path root, String version, String platform) throws IOException {
        Path parent = root.toAbsolutePath().getParent();
        if (parent != null && !Files.isDirectory(parent)) {
            try {
                Files.createDirectories(parent);
            } catch (IOException e) {
                throw new IOException("cannot create " + parent + " (" + e + ")", e);
            }
        }
        Path folder = root.toAbsolutePath();
        ensurePrivate(folder);
        folder = folder.resolve(version);
        ensurePrivate(folder);
        folder = folder.resolve(platform);
        ensurePrivate(folder);
        return folder;
    }

    /** Makes {@code folder} unless it exists; then checks that it is this user's alone. */
    static void ensurePrivate(Path folder) throws IOException {
        boolean posix = Files.getFileAttributeView(folder.getParent(), PosixFileAttributeView.class)
                != null;
        try {
            if (posix) {
                Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
            } else {
                Files.createDirectory(folder);
            }
        } catch (FileAlreadyExistsException e) {
            // Made before, perhaps by another JVM starting at the same moment: checked below.
        } catch (IOException e) {
            throw new IOException("cannot create " + folder + " (" + e + ")", e);
        }
        if (!Files.isDirectory(folder, LinkOption.NOFOLLOW_LINKS)) {
            throw new IOException(folder + " is not a directory of its own (a link or a file)");
        }
        if (!posix) {
            return;
        }
        PosixFileAttributes attributes = Files.readAttributes(folder, PosixFileAttributes.class,
                LinkOption.NOFOLLOW_LINKS);
        String user = System.getProperty("user.name");
        if (!attributes.owner().getName().equals(user)) {
            throw new IOException(folder + " belongs to " + attributes.owner().getName()
                    + ", not to " + user);
        }
        Set<PosixFilePermission> permissions = attributes.permissions();
        if (permissions.contains(PosixFilePermission.GROUP_WRITE)
                || permissions.contains(PosixFilePermission.OTHERS_WRITE)) {
            throw new IOException(folder + " may be written by others (mode "
                    + PosixFilePermissions.toString(permissions) + ")");
        }
    }
}
