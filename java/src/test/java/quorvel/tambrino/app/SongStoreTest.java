// Tests: what the app keeps between runs.
package quorvel.tambrino.app;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Properties;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.practice.SongSettings;
import quorvel.tambrino.practice.SongStore;

/** What the app keeps between runs: read back as written, and never trusted blindly. */
class SongStoreTest {
    private static final String KEY = "ab".repeat(32);

    @TempDir
    Path dir;

    @Test
    void settingsComeBackAndNonsenseIsLeftOut() throws Exception {
        SongStore store = new SongStore(dir);
        SongSettings s = new SongSettings();
        s.tempo = 0.65;
        s.exact = true;
        s.loopA = 44100;
        s.loopB = 88200;
        s.loopOn = true;
        s.marks.add(new SongSettings.Mark("intro: = !", 100, -1));
        s.marks.add(new SongSettings.Mark("solo", 1000, 5000));
        store.save(KEY, s.toProperties(44100));
        SongStore.Loaded loaded = store.load(KEY);
        assertNull(loaded.problem);
        SongSettings back = SongSettings.of(loaded.values, 44100, 100_000);
        assertEquals(0.65, back.tempo);
        assertTrue(back.exact && back.loopOn);
        assertEquals(44100, back.loopA);
        assertEquals(88200, back.loopB);
        assertEquals("intro: = !", back.marks.get(0).name);
        assertEquals(5000, back.marks.get(1).b);

        // A shorter song, or values edited by hand: what does not fit is dropped, the rest kept.
        Properties p = loaded.values;
        p.setProperty("tempo", "9");
        p.setProperty("pan", "NaN");
        p.setProperty("mark.0.at", "-1");
        SongSettings odd = SongSettings.of(p, 44100, 60_000);
        assertEquals(1.0, odd.tempo);
        assertEquals(50, odd.pan);
        assertEquals(-1, odd.loopA, "the loop ends after the song");
        assertEquals(List.of("solo"), odd.marks.stream().map(m -> m.name).toList());

        // A marker at NaN or beyond the doubles is no marker at the start; a trainer that cannot play is none.
        p.setProperty("mark.0.at", "NaN");
        p.setProperty("mark.1.at", "Infinity:NaN");
        for (String trainer : new String[] {"100:60:0", "100:60:10", "10:100:10", "60:300:10", "60:100:0.001"}) {
            p.setProperty("trainer", trainer);
            SongSettings nan = SongSettings.of(p, 44100, 100_000);
            assertTrue(nan.marks.isEmpty(), "markers at NaN are dropped");
            assertEquals("60:100:10", nan.trainer, trainer + " is not kept");
        }
        p.setProperty("trainer", "50:120:5");
        assertEquals("50:120:5", SongSettings.of(p, 44100, 100_000).trainer);
    }

    @Test
    void theFolderFollowsXdgConfigHomeThenHome() {
        String account = "/home/account";
        assertEquals(Path.of("/cfg/tambrino"),
                SongStore.folderFor(java.util.Map.of("XDG_CONFIG_HOME", "/cfg", "HOME", "/h"), account));
        assertEquals(Path.of("/h/.config/tambrino"),
                SongStore.folderFor(java.util.Map.of("XDG_CONFIG_HOME", "relative", "HOME", "/h"), account));
        assertEquals(Path.of("/h/.config/tambrino"), SongStore.folderFor(java.util.Map.of("HOME", "/h"), account));
        assertEquals(Path.of(account, ".config", "tambrino"),
                SongStore.folderFor(java.util.Map.of("HOME", ""), account));
        assertEquals(Path.of(account, ".config", "tambrino"), SongStore.folderFor(java.util.Map.of(), account));
    }

    @Test
    void aForeignFileIsSetAsideAndTheRecentListSkipsWhatIsGone() throws Exception {
        SongStore store = new SongStore(dir);
        Path kept = Files.createDirectories(dir.resolve("songs")).resolve(KEY + ".properties");
        Files.writeString(kept, "tempo=0.5\n");
        SongStore.Loaded loaded = store.load(KEY);
        assertTrue(loaded.problem.contains("not a tambrino song file"), loaded.problem);
        assertTrue(loaded.values.isEmpty());
        assertTrue(Files.exists(kept.resolveSibling(kept.getFileName() + ".bad")));

        Path a = Files.writeString(dir.resolve("a.wav"), "a");
        Path b = Files.writeString(dir.resolve("b.wav"), "b");
        store.addRecent(a);
        store.addRecent(b);
        store.addRecent(a);
        assertEquals(List.of(a, b), store.recent());
        Files.delete(b);
        assertEquals(List.of(a), store.recent());
        // The same content is the same song, wherever it lies.
        Path copy = Files.copy(a, dir.resolve("moved.wav"));
        assertEquals(SongStore.key(a), SongStore.key(copy));
    }
}
