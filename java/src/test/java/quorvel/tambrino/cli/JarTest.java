package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.jar.JarFile;
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
