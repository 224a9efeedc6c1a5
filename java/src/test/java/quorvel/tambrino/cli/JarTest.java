// Tests: the jar runs on its own with the engine it carries.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.jar.JarFile;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;
import java.util.zip.ZipOutputStream;
import java.util.stream.Stream;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Packaging: the jar runs on its own, loading the engine it carries, without warnings on newer JVMs. */
class JarTest {
    @TempDir
    Path dir;

    private static String java17() {
        String j = System.getenv("TAMBRINO_TEST_JAVA");
        return j != null ? j : Path.of(System.getProperty("java.home"), "bin", "java").toString();
    }

    /** A JDK of version 24 or later, where loading a native library without native access warns. */
    private static Path newerJava() throws Exception {
        Path jvms = Path.of("/usr/lib/jvm");
        if (!Files.isDirectory(jvms)) {
            return null;
        }
        try (Stream<Path> s = Files.list(jvms)) {
            for (Path home : (Iterable<Path>) s.sorted()::iterator) {
                Path release = home.resolve("release");
                Path java = home.resolve("bin/java");
                if (Files.isRegularFile(release) && Files.isExecutable(java)) {
                    for (String line : Files.readAllLines(release)) {
                        if (line.startsWith("JAVA_VERSION=\"")) {
                            String v = line.substring(14).split("[.\"]")[0];
                            if (v.matches("\\d+") && Integer.parseInt(v) >= 24) {
                                return home;
                            }
                        }
                    }
                }
            }
        }
        return null;
    }

    @Test
    void manifestEnablesNativeAccessAndCarriesTheLibrary() throws Exception {
        try (JarFile jar = new JarFile(Launcher.jar().toFile())) {
            var attrs = jar.getManifest().getMainAttributes();
            assertEquals("ALL-UNNAMED", attrs.getValue("Enable-Native-Access"));
            assertEquals("quorvel.tambrino.cli.Tambrino", attrs.getValue("Main-Class"));
            assertTrue(attrs.getValue("Class-Path").contains("picocli"));
            // The MP3 and Ogg Vorbis decoders, found where Debian installs them.
            for (String decoder : new String[] {"mp3spi.jar", "jl.jar", "tritonus_share.jar", "vorbisspi.jar",
                "jorbis.jar", "jogg.jar"}) {
                assertTrue(attrs.getValue("Class-Path").contains("/usr/share/java/" + decoder), decoder);
            }
            assertTrue(jar.getEntry("native/linux-x86-64/libtambrino.so").getSize() > 10000);
        }
    }

    @Test
    void jarLoadsItsEmbeddedLibraryWithoutJavaLibraryPath() throws Exception {
        // A copy elsewhere, run from another folder: nothing points at the build tree.
        Path jar = dir.resolve("tambrino.jar");
        Files.copy(Launcher.jar(), jar, StandardCopyOption.REPLACE_EXISTING);
        Path in = dir.resolve("in.wav");
        TestAudio.write16(in, TestAudio.pcm16(22050, 1, sine(440, 0.5, 44100)), 1, 44100);

        Launcher.Result version = Launcher.run(List.of(java17(), "-jar", jar.toString(), "--version"), null);
        assertEquals(0, version.exit, version.toString());
        assertTrue(version.out.contains("engine: libtambrino.so from jar:/native/linux-x86-64/libtambrino.so"),
                version.toString());

        Path tmp = Files.createDirectory(dir.resolve("tmp"));
        Launcher.Result r = Launcher.run(List.of(java17(), "-Djava.io.tmpdir=" + tmp, "-jar", jar.toString(),
                "stretch", in.toString(), dir.resolve("out.wav").toString(), "--tempo", "0.5"), null);
        assertEquals(0, r.exit, r.toString());
        assertEquals(44100, TestAudio.read16(dir.resolve("out.wav")).frames());
        // The extracted copy is removed once loaded.
        assertEquals(List.of(), Launcher.listing(tmp));
    }

    /**
     * Installed as the Debian package lays it out, reached through a link:
     * the launcher takes the jar beside it and the engine under
     * lib/TRIPLET/jni, as the jar there carries none.
     */
    @Test
    void launcherRunsTheInstalledLayout() throws Exception {
        Path prefix = dir.resolve("usr");
        Path bin = Files.createDirectories(prefix.resolve("bin")).resolve("tambrino");
        Files.copy(Launcher.launcher(), bin);
        Path jar = Files.createDirectories(prefix.resolve("share/tambrino")).resolve("tambrino.jar");
        try (ZipInputStream in = new ZipInputStream(Files.newInputStream(Launcher.jar()));
             ZipOutputStream out = new ZipOutputStream(Files.newOutputStream(jar))) {
            for (ZipEntry e; (e = in.getNextEntry()) != null;) {
                if (!e.getName().startsWith("native/")) {
                    out.putNextEntry(new ZipEntry(e.getName()));
                    in.transferTo(out);
                }
            }
        }
        Path lib = Files.createDirectories(prefix.resolve("lib/x86_64-linux-gnu/jni")).resolve("libtambrino.so");
        Files.copy(Path.of(System.getProperty("tambrino.library")), lib);
        Path link = Files.createSymbolicLink(dir.resolve("tambrino"), bin);
        Path in = dir.resolve("in.wav");
        TestAudio.write16(in, TestAudio.pcm16(11025, 1, sine(440, 0.5, 44100)), 1, 44100);

        // An empty TAMBRINO_JAR names no jar.
        Map<String, String> env = Map.of("TAMBRINO_JAR", "");
        Launcher.Result version = Launcher.run(List.of(link.toString(), "--version"), env);
        assertEquals(0, version.exit, version.toString());
        assertTrue(version.out.contains("engine: libtambrino.so from " + lib), version.toString());
        Launcher.Result r = Launcher.run(List.of(link.toString(), "stretch", in.toString(),
                dir.resolve("out.wav").toString(), "--tempo", "0.5"), env);
        assertEquals(0, r.exit, r.toString());
        assertEquals(22050, TestAudio.read16(dir.resolve("out.wav")).frames());
    }

    /** A JAVA_HOME older than the jar's Java 17 is passed over for the system's, not run into a class version error. */
    @Test
    void launcherPassesOverAJavaOlderThan17() throws Exception {
        Path old = Files.createDirectories(dir.resolve("jdk-11/bin"));
        Files.writeString(old.resolve("java"), "#!/bin/sh\necho 'Java 11 ran' >&2\nexit 9\n");
        Files.setPosixFilePermissions(old.resolve("java"), PosixFilePermissions.fromString("rwxr-xr-x"));
        Files.writeString(old.resolveSibling("release"), "IMPLEMENTOR=\"Someone\"\nJAVA_VERSION=\"11.0.24\"\n");
        Launcher.Result r = Launcher.run(List.of(Launcher.launcher().toString(), "--version"),
                Map.of("JAVA_HOME", old.getParent().toString()));
        assertEquals(0, r.exit, r.toString());
        assertTrue(r.out.startsWith("tambrino "), r.toString());
    }

    @Test
    void newerJvmsRunTheJarAndTheLauncherWithoutWarnings() throws Exception {
        Path home = newerJava();
        Assumptions.assumeTrue(home != null, "no JDK 24 or later under /usr/lib/jvm");
        Path in = dir.resolve("in.wav");
        TestAudio.write16(in, TestAudio.pcm16(11025, 2, sine(440, 0.5, 44100), sine(660, 0.5, 44100)), 2, 44100);

        List<String> plain = new ArrayList<>(List.of(home.resolve("bin/java").toString(), "-jar",
                Launcher.jar().toString(), "stretch", in.toString(), dir.resolve("a.wav").toString()));
        Launcher.Result byJar = Launcher.run(plain, null);
        assertEquals(0, byJar.exit, byJar.toString());
        assertFalse(byJar.err.contains("WARNING"), byJar.toString());

        Launcher.Result byLauncher = Launcher.run(List.of(Launcher.launcher().toString(), "stretch", in.toString(),
                dir.resolve("b.wav").toString()), Map.of("JAVA_HOME", home.toString()));
        assertEquals(0, byLauncher.exit, byLauncher.toString());
        assertFalse(byLauncher.err.contains("WARNING"), byLauncher.toString());
        assertTrue(Files.readAllBytes(dir.resolve("a.wav")).length > 44);
    }
}
