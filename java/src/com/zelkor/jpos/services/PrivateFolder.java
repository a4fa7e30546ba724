// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
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
import java.util.function.Function;

/**
 * The folder that libraries extracted from the jar are loaded from: {@code ROOT/VERSION/PLATFORM}
 * where only the user running the JVM may write.
 *
 * <p>Whatever is loaded from there runs inside the JVM. A folder that another user may rename
 * or write lets them exchange the checked copy for their own between the check and the load,
 * so every folder from {@code /} down to the library must be owned by root or this process's
 * user id and writable by nobody else, unless it is sticky (as /tmp is, where nobody may
 * rename what is not theirs). The chain is checked on its real path, links resolved, and that
 * very path is the one loaded from. The folders this class creates are made mode 0700. A root
 * that fails the check is passed over for the next one, never repaired behind its owner's back.
 */
final class PrivateFolder {
    private static final Set<PosixFilePermission> OWNER_ONLY =
            PosixFilePermissions.fromString("rwx------");

    /** The effective user id of this process, the owner of what it creates; -1 when unknown. */
    private static final long UID = readProcessUid();

    private PrivateFolder() {}

    /** The roots for this JVM; see {@link #roots}. */
    static List<Path> defaultRoots() {
        return roots(System.getProperty("os.name", ""), System::getenv, System::getProperty);
    }

    /**
     * Where to look, best first. On Windows only the user's own local application-data folder
     * (%LOCALAPPDATA%): the temporary folder of a service may be shared by every account. Elsewhere
     * the user's cache folder (XDG_CACHE_HOME or ~/.cache), then a folder of the user's own in the
     * temporary folder, for services whose home cannot be written. A setting that is not an
     * absolute path is no place at all: a user id without a password entry has the home "?",
     * which would be a folder in the working directory.
     */
    static List<Path> roots(String osName, Function<String, String> env, Function<String, String> property) {
        List<Path> roots = new ArrayList<>();
        if (osName.startsWith("Windows")) {
            addIfAbsolute(roots, env.apply("LOCALAPPDATA"), "zkpos");
            return roots;
        }
        if (!addIfAbsolute(roots, env.apply("XDG_CACHE_HOME"), "zkpos")) {
            addIfAbsolute(roots, property.apply("user.home"), ".cache/zkpos");
        }
        String user = property.apply("user.name");
        String name = user != null && user.matches("[A-Za-z0-9._][A-Za-z0-9._-]*") ? user : "uid" + UID;
        addIfAbsolute(roots, property.apply("java.io.tmpdir"), "zkpos-" + name);
        return roots;
    }

    /**
     * Where a fresh folder is made when every root fails: the temporary folder. Null on Windows,
     * whose one root is the user's own, and when java.io.tmpdir is no absolute path.
     */
    static Path freshParent() {
        List<Path> tmp = new ArrayList<>();
        boolean windows = System.getProperty("os.name", "").startsWith("Windows");
        return !windows && addIfAbsolute(tmp, System.getProperty("java.io.tmpdir"), "") ? tmp.get(0) : null;
    }

    private static boolean addIfAbsolute(List<Path> roots, String base, String below) {
        try {
            if (base != null && Paths.get(base).isAbsolute()) {
                return roots.add(Paths.get(base).resolve(below));
            }
        } catch (InvalidPathException e) {
            // A strange setting only removes that candidate.
        }
        return false;
    }

    private static long readProcessUid() {
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.UTF_8)) {
                if (line.startsWith("Uid:")) {
                    // Real, effective, saved and file-system user id.
                    return Long.parseLong(line.substring(4).trim().split("\\s+")[1]);
                }
            }
        } catch (IOException | RuntimeException e) {
            // Without /proc no folder can be shown to be this user's: every root is refused.
        }
        return -1;
    }

    /** Creates (or checks) ROOT/version/platform and returns its real path. */
    static Path createUnder(Path root, String version, String platform) throws IOException {
        Path absolute = root.toAbsolutePath();
        if (absolute.getParent() == null) {
            throw new IOException(root + " has no parent folder");
        }
        Path folder = checkedChain(absolute.getParent()).resolve(absolute.getFileName());
        ensurePrivate(folder);
        folder = folder.resolve(version);
        ensurePrivate(folder);
        folder = folder.resolve(platform);
        ensurePrivate(folder);
        return folder;
    }

    /**
     * A folder made new below {@code parent} under a name nobody can have chosen before, for when
     * every root is refused: a shared temporary folder where another user made the root first
     * must not lock this user out.
     */
    static Path createFresh(Path parent) throws IOException {
        Path folder = Files.createTempDirectory(checkedChain(parent.toAbsolutePath()), "zkpos-", PosixFilePermissions.asFileAttribute(OWNER_ONLY));
        ensurePrivate(folder);
        return folder;
    }

    /** The real path of {@code parent}, made if missing, after the check of its whole chain. */
    private static Path checkedChain(Path parent) throws IOException {
        if (!Files.isDirectory(parent)) {
            try {
                Files.createDirectories(parent);
            } catch (IOException e) {
                throw new IOException("cannot create " + parent + " (" + e + ")", e);
            }
        }
        Path real = parent.toRealPath();
        if (Files.getFileAttributeView(real, PosixFileAttributeView.class) == null) {
            return real;
        }
        Path folder = real.getRoot();
        checkAncestor(folder);
        for (Path name : real) {
            folder = folder.resolve(name);
            checkAncestor(folder);
        }
        return real;
    }

    private static void checkAncestor(Path folder) throws IOException {
        PosixFileAttributes attributes = Files.readAttributes(folder, PosixFileAttributes.class,
                LinkOption.NOFOLLOW_LINKS);
        long owner = ownerId(folder);
        if (owner != 0 && owner != UID) {
            throw new IOException(folder + " belongs to user id " + owner + ", neither root nor this user ("
                    + UID + "), who could exchange the folders below it");
        }
        Set<PosixFilePermission> permissions = attributes.permissions();
        boolean sticky = (((Number) Files.getAttribute(folder, "unix:mode", LinkOption.NOFOLLOW_LINKS))
                .intValue() & 01000) != 0;
        if (!sticky && (permissions.contains(PosixFilePermission.GROUP_WRITE)
                || permissions.contains(PosixFilePermission.OTHERS_WRITE))) {
            throw new IOException(folder + " may be written by others (mode "
                    + PosixFilePermissions.toString(permissions) + ", not sticky)");
        }
    }

    private static long ownerId(Path path) throws IOException {
        return ((Number) Files.getAttribute(path, "unix:uid", LinkOption.NOFOLLOW_LINKS)).longValue();
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
        long owner = ownerId(folder);
        if (owner != UID) {
            throw new IOException(folder + " belongs to user id " + owner + " (" + attributes.owner().getName()
                    + "), not to this user (" + UID + ")");
        }
        Set<PosixFilePermission> permissions = attributes.permissions();
        if (permissions.contains(PosixFilePermission.GROUP_WRITE)
                || permissions.contains(PosixFilePermission.OTHERS_WRITE)) {
            throw new IOException(folder + " may be written by others (mode "
                    + PosixFilePermissions.toString(permissions) + ")");
        }
    }
}
