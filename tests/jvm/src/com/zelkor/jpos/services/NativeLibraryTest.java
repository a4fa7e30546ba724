// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Which library a JVM asks for, and how the jar's copies are extracted. */
class NativeLibraryTest {
    @TempDir
    Path scratch;

    @Test
    void theLibraryFolderFollowsTheSystemAndTheDataModel() {
        assertEquals("linux-x86-64", NativeLibrary.platformFolder("Linux", "amd64", "64"));
        assertEquals("linux-x86-32", NativeLibrary.platformFolder("Linux", "i386", "32"));
        // Without the data model the architecture decides.
        assertEquals("linux-x86-32", NativeLibrary.platformFolder("Linux", "i686", null));
        assertEquals("linux-x86-64", NativeLibrary.platformFolder("Linux", "x86_64", null));
        assertEquals("windows-x86-64", NativeLibrary.platformFolder("Windows 11", "amd64", "64"));
        assertEquals("windows-x86-32", NativeLibrary.platformFolder("Windows 10", "x86", "32"));
        assertEquals("linux-aarch64", NativeLibrary.platformFolder("Linux", "aarch64", "64"));
        assertEquals("linux-armhf", NativeLibrary.platformFolder("Linux", "arm", "32"));
        assertEquals("linux-armhf", NativeLibrary.platformFolder("Linux", "arm", null));
        // Machines the jar has nothing for.
        assertNull(NativeLibrary.platformFolder("Linux", "aarch64", "32"));
        assertNull(NativeLibrary.platformFolder("Windows 11", "aarch64", "64"));
        assertNull(NativeLibrary.platformFolder("Linux", "ppc64le", "64"));
        assertNull(NativeLibrary.platformFolder("FreeBSD", "amd64", "64"));
        assertNull(NativeLibrary.platformFolder("Mac OS X", "x86_64", "64"));
        assertTrue(NativeLibrary.is32Bit("32", "amd64"), "the data model wins over os.arch");
        assertFalse(NativeLibrary.is32Bit(null, "amd64"));
    }

    private static final byte[] LIBRARY = "a library".getBytes(StandardCharsets.US_ASCII);

    private BundledLibraries bundle(byte[] content, String checksum) {
        Properties index = new Properties();
        index.setProperty("version", "9.8.7.6");
        index.setProperty("linux-x86-64/libTest.so", checksum);
        return new BundledLibraries(index, "linux-x86-64",
                path -> path.equals("linux-x86-64/libTest.so") ? new ByteArrayInputStream(content)
                                                              : null,
                List.of(scratch.resolve("root")), null, "test.jar");
    }

    private static final BundledLibraries.Loader LOADED = path -> {};

    private static String sha256(byte[] bytes) throws IOException {
        Path file = Files.createTempFile("zkpos", ".bin");
        try {
            Files.write(file, bytes);
            return BundledLibraries.sha256(file);
        } finally {
            Files.delete(file);
        }
    }

    @Test
    void aDamagedEntryOfTheJarIsNeverPutInPlace() throws Exception {
        BundledLibraries damaged = bundle(LIBRARY, sha256("another library".getBytes(StandardCharsets.US_ASCII)));
        BundledLibraries.ExtractionException error =
                assertThrows(BundledLibraries.ExtractionException.class, () -> damaged.load(List.of("libTest.so"), LOADED));
        assertTrue(error.getMessage().contains("checksum"), error.getMessage());
        Path folder = scratch.resolve("root/9.8.7.6/linux-x86-64");
        try (Stream<Path> left = Files.list(folder)) {
            assertEquals(0, left.count(), "nothing, not even a partial copy, stays behind");
        }
        assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(folder)));
    }

    @Test
    void aFileTheJarDoesNotListIsNotExtracted() {
        BundledLibraries bundled = bundle(LIBRARY, "00");
        assertFalse(bundled.carries("libOther.so"));
        assertThrows(BundledLibraries.ExtractionException.class, () -> bundled.load(List.of("libOther.so"), LOADED));
    }

    @Test
    void threadsExtractingAtOnceAllGetTheWholeFile() throws Exception {
        BundledLibraries bundled = bundle(LIBRARY, sha256(LIBRARY));
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            List<Future<Path>> results = new ArrayList<>();
            for (int i = 0; i < 40; i++) {
                Callable<Path> extract = () -> bundled.load(List.of("libTest.so"), LOADED).resolve("libTest.so");
                results.add(pool.submit(extract));
            }
            for (Future<Path> result : results) {
                assertArrayEquals(LIBRARY, Files.readAllBytes(result.get()));
            }
        } finally {
            pool.shutdownNow();
        }
        try (Stream<Path> left = Files.list(scratch.resolve("root/9.8.7.6/linux-x86-64"))) {
            assertEquals(1, left.count(), "only the library itself is left");
        }
    }

    @Test
    void aFolderOfSomeoneElsesChoosingIsPassedOver() throws Exception {
        Path open = Files.createDirectory(scratch.resolve("open"));
        Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path link = scratch.resolve("link");
        Files.createSymbolicLink(link, Files.createDirectory(scratch.resolve("elsewhere")));
        // Folders above the root that another user could exchange the root's folders in.
        Path hostile = Files.createDirectories(scratch.resolve("hostile/cache"));
        Files.setPosixFilePermissions(hostile.getParent(), PosixFilePermissions.fromString("rwxrwxr-x"));
        Path foreign = Files.createDirectories(scratch.resolve("foreign/cache"));
        Files.setAttribute(foreign.getParent(), "unix:uid", 65534);
        String[][] refused = {{"open", "may be written by others"}, {"link", "not a directory of its own"},
            {"hostile/cache/zkpos", "hostile may be written by others"},
            {"foreign/cache/zkpos", "foreign belongs to user id 65534"}};
        for (String[] root : refused) {
            IOException error = assertThrows(IOException.class,
                    () -> PrivateFolder.createUnder(scratch.resolve(root[0]), "1", "linux-x86-64"), root[0]);
            assertTrue(error.getMessage().contains(root[1]), error.getMessage());
        }
        try (Stream<Path> left = Files.list(open)) {
            assertEquals(0, left.count(), "nothing was made in the open folder");
        }
        assertFalse(Files.exists(hostile.resolve("zkpos")), "nothing was made below the hostile folder");
        Path good = scratch.resolve("good");
        assertEquals(good.resolve("1").resolve("linux-x86-64"),
                PrivateFolder.createUnder(good, "1", "linux-x86-64"));
    }

    @Test
    void aRootThatCannotServeFallsThroughToTheNextAndAtLastToAFreshFolder() throws Exception {
        Properties index = new Properties();
        index.setProperty("version", "1");
        index.setProperty("linux-x86-64/libTest.so", sha256(LIBRARY));
        Path noexec = scratch.resolve("noexec");
        // Made first by another user in a shared temporary folder.
        Path taken = Files.createDirectory(scratch.resolve("taken"));
        Files.setAttribute(taken, "unix:uid", 65534);
        BundledLibraries bundled = new BundledLibraries(index, "linux-x86-64",
                path -> new ByteArrayInputStream(LIBRARY), List.of(noexec, taken), scratch, "test.jar");
        List<Path> loaded = new ArrayList<>();
        bundled.load(List.of("libTest.so"), path -> {
            if (path.startsWith(noexec)) {
                throw new UnsatisfiedLinkError(path + ": failed to map segment from shared object");
            }
            assertArrayEquals(LIBRARY, assertDoesNotThrow(() -> Files.readAllBytes(path)));
            loaded.add(path);
        });
        assertEquals(1, loaded.size());
        assertEquals(scratch, loaded.get(0).getParent().getParent(), "loaded from a fresh folder: " + loaded);
        assertFalse(Files.exists(loaded.get(0).getParent()), "the fresh folder is removed after the load");
    }

    @Test
    void onlyAbsoluteSettingsAndOnWindowsOnlyTheUsersOwnFolderAreRoots() {
        Map<String, String> env = Map.of("LOCALAPPDATA", "C:\\Users\\pos\\AppData\\Local",
                "XDG_CACHE_HOME", "relative/cache");
        Map<String, String> properties = Map.of("user.home", "?", "user.name", "?", "java.io.tmpdir", "/tmp");
        List<Path> linux = PrivateFolder.roots("Linux", env::get, properties::get);
        assertEquals(1, linux.size(), linux.toString());
        assertTrue(linux.get(0).toString().matches("/tmp/zkpos-uid\\d+"), linux.toString());
        List<Path> windows = PrivateFolder.roots("Windows 11", Map.of("TEMP", "C:\\Windows\\Temp")::get,
                Map.of("java.io.tmpdir", "C:\\Windows\\Temp", "user.home", "C:\\Users\\pos")::get);
        assertEquals(List.of(), windows, "nothing but LOCALAPPDATA on Windows");
    }
}
