package quorvel.tambrino.audio;

import java.io.IOException;

/** A stream of interleaved 16-bit frames. */
public interface PcmSource {
    /** Channels per frame: 1 or 2. */
    int channels();

    /** Frames per second. */
    int sampleRate();

    /** Total number of frames the source delivers, or -1 when that is known only at its end. */
    long frameLength();

    /**
     * Reads up to {@code frames} frames into {@code buffer}, interleaved, from
     * frame {@code offset} on; returns the number read, 0 only at the end.
     */
    int read(short[] buffer, int offset, int frames) throws IOException;

    /** A source over frames already in memory. */
    static PcmSource of(short[] interleaved, int channels, int sampleRate) {
        return new PcmSource() {
            private int position;

            @Override
            public int channels() {
                return channels;
            }

            @Override
            public int sampleRate() {
                return sampleRate;
            }

            @Override
            public long frameLength() {
                return interleaved.length / channels;
            }

            @Override
            public int read(short[] buffer, int offset, int frames) {
                int n = Math.min(frames, interleaved.length / channels - position);
                System.arraycopy(interleaved, position * channels, buffer, offset * channels, n * channels);
                position += n;
                return n;
            }
        };
    }
}
