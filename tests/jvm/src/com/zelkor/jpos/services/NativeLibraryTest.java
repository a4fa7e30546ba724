// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.services;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
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
                List.of(scratch.resolve("root")), "test.jar");
    }

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
                assertThrows(BundledLibraries.ExtractionException.class, () -> damaged.extract("libTest.so"));
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
        assertThrows(BundledLibraries.ExtractionException.class, () -> bundled.extract("libOther.so"));
    }

    @Test
    void threadsExtractingAtOnceAllGetTheWholeFile() throws Exception {
        BundledLibraries bundled = bundle(LIBRARY, sha256(LIBRARY));
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            List<Future<Path>> results = new ArrayList<>();
            for (int i = 0; i < 40; i++) {
                Callable<Path> extract = () -> bundled.extract("libTest.so");
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
        Path open = scratch.resolve("open");
        Files.createDirectory(open);
        Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path link = scratch.resolve("link");
        Files.createSymbolicLink(link, scratch.resolve("elsewhere"));
        Files.createDirectory(scratch.resolve("elsewhere"));
        BundledLibraries.ExtractionException error = assertThrows(BundledLibraries.ExtractionException.class,
                () -> PrivateFolder.create(List.of(open, link), "1", "linux-x86-64"));
        assertTrue(error.getMessage().contains("may be written by others"), error.getMessage());
        assertTrue(error.getMessage().contains("not a directory of its own"), error.getMessage());
        try (Stream<Path> left = Files.list(open)) {
            assertEquals(0, left.count(), "nothing was made in the open folder");
        }
        Path good = scratch.resolve("good");
        assertEquals(good.resolve("1").resolve("linux-x86-64"),
                PrivateFolder.create(List.of(open, good), "1", "linux-x86-64"));
    }
}
