// The practice window's song: a file read whole into memory, with what the window shows of it.
package quorvel.tambrino.app;

import java.io.IOException;
import java.nio.file.Path;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.practice.SongStore;
import quorvel.tambrino.practice.Transport;

/**
 * A song read into memory: its samples, format, description and the key
 * under which its settings are kept. Immutable once read; any thread.
 */
final class Song {
    final Path path;
    final String name;
    final short[] pcm;
    final int channels;
    final int sampleRate;
    final String description;
    final String key;
    final String warning;

    Song(Path path, short[] pcm, int channels, int sampleRate, String description, String key, String warning) {
        this.path = path;
        this.name = path.getFileName().toString();
        this.pcm = pcm;
        this.channels = channels;
        this.sampleRate = sampleRate;
        this.description = description;
        this.key = key;
        this.warning = warning;
    }

    long frames() {
        return pcm.length / channels;
    }

    /** Reads a whole file; a message that names the file when it cannot be read. Not on the event thread. */
    static Song read(Path file) throws IOException {
        String arg = file.toString();
        try (InputFile.Reader in = InputFile.openAudio(arg)) {
            short[] pcm = Transport.readAll(in);
            return new Song(file, pcm, in.channels(), in.sampleRate(), in.description(), SongStore.key(file),
                    in.warning());
        } catch (IOException e) {
            throw new IOException("error while reading " + file + ": " + OutputFiles.reason(e), e);
        }
    }
}
