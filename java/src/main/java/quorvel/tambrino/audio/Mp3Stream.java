// The MPEG audio frames of an MP3 stream for the decoder, and the encoder's gapless information.
package quorvel.tambrino.audio;

import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.List;

/**
 * The MPEG audio frames of an MP3 stream and nothing else, for the decoder,
 * and where the music lies in what the decoder makes of them.
 *
 * <p>Tags and other bytes around the frames are left out: the decoder drops
 * the last frame when anything but a frame follows it (an ID3v1 tag at the
 * end, which most files carry, lost the last 26 ms of the music). A Xing or
 * Info frame, which holds the encoder's notes rather than music, is left out
 * too. Frames must agree with the first one in version, layer and rate, so
 * that the search for the next frame does not take a tag for music.
 *
 * <p>Where an Info frame carries a LAME tag whose checksum holds, its
 * encoder delay and padding, with the decoder's own delay of 529 samples
 * (for layer III), say which decoded frames are music; without one only the
 * decoder's delay is dropped. Files joined end to end ({@code cat a.mp3
 * b.mp3}) are told apart by the Info frame that opens each, or by frames
 * beyond the count that the first one's states: each is a {@link Segment}
 * of its own, so that none is cut off by another's length.
 *
 * <p>A frame cut short by the end of the file is not passed on (the decoder
 * would make noise of what is missing); {@link #cutShort()} says so. One
 * thread reads it.
 */
final class Mp3Stream extends InputStream {
    /** Samples that a layer III decoder's synthesis filter bank delays its output by. */
    static final int DECODER_DELAY = 529;

    private static final int[][] BITRATES = {
        {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG-1 layer I
        {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // MPEG-1 layer II
        {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // MPEG-1 layer III
        {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // MPEG-2 and 2.5 layer I
        {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG-2 and 2.5 layers II, III
    };
    private static final int[] RATES = {44100, 48000, 32000};

    private final InputStream in;
    /** The largest frame: MPEG-2.5 layer II at 160 kbit/s and 8 kHz, with its padding byte. */
    private final byte[] frame = new byte[2881];
    private final byte[] one = new byte[1];
    private int pos;
    private int len;
    private int firstHeader;
    private boolean started;
    private boolean anyMusic;
    private boolean cut;
    /** A free-format stream, whose frame lengths are not in their headers: passed on as it comes. */
    private boolean passThrough;
    /** Samples per channel that each frame decodes to, and by which the decoder delays them. */
    private int samplesPerFrame;
    private int decoderDelay;
    private final List<Segment> segments = new ArrayList<>();
    /** Frames of music passed on, in all and of the current file. */
    private long framesPassed;
    private long segmentFramesPassed;
    /** The frames of music that the current file's Info frame counts, or -1. */
    private long segmentFrames = -1;

    /**
     * Where one file's music lies in the decoded frames: from {@code begin},
     * where the sound of its first frame comes out, its music runs from
     * {@code from} to {@code to} (-1: until the next segment begins).
     */
    static final class Segment {
        final long begin;
        final long from;
        final long to;

        Segment(long begin, long from, long to) {
            this.begin = begin;
            this.from = from;
            this.to = to;
        }
    }

    /** {@code in} must support mark and reset. */
    Mp3Stream(InputStream in) {
        this.in = in;
    }

    /** The segments found so far (after {@link #start()}, at least one); they grow as the stream is read. */
    List<Segment> segments() {
        return segments;
    }

    /** Whether the stream holds a whole frame of music, not only the encoder's notes (after {@link #start()}). */
    boolean anyMusic() {
        return anyMusic;
    }

    /** Whether the stream ended inside a frame, which was left out. */
    boolean cutShort() {
        return cut;
    }

    /** Reads up to the first frame of music, which gives the first {@link Segment}. */
    void start() throws IOException {
        if (started) {
            return;
        }
        started = true;
        skipId3v2();
        if (!nextFrame()) {
            return;
        }
        int h = header(frame, 0);
        samplesPerFrame = samplesPerFrame(h);
        decoderDelay = layer(h) == 3 ? DECODER_DELAY : 0;
        long[] tag = tag();
        startSegment(tag);
        if (tag != null) {
            // The encoder's notes: the next frame starts the music.
            anyMusic = nextMusicFrame();
        } else {
            anyMusic = true;
            framesPassed++;
            segmentFramesPassed++;
        }
    }

    /**
     * The Info or Xing frame loaded in {@link #frame}: its frame count (or -1)
     * and, when its LAME tag's checksum holds, the encoder's delay and
     * padding (else -1); null for a frame of music.
     */
    private long[] tag() {
        int h = header(frame, 0);
        if (layer(h) != 3) {
            return null;
        }
        int xing = 4 + (((h >> 16) & 1) == 0 ? 2 : 0) + sideInfoSize(h);
        if (len < xing + 8 || !(frame[xing] == 'X' && frame[xing + 1] == 'i' && frame[xing + 2] == 'n'
                && frame[xing + 3] == 'g' || frame[xing] == 'I' && frame[xing + 1] == 'n' && frame[xing + 2] == 'f'
                && frame[xing + 3] == 'o')) {
            return null;
        }
        int flags = be32(frame, xing + 4);
        int p = xing + 8;
        long frames = -1;
        if ((flags & 1) != 0) {
            frames = be32(frame, p) & 0xffffffffL;
            p += 4;
        }
        p += ((flags & 2) != 0 ? 4 : 0) + ((flags & 4) != 0 ? 100 : 0) + ((flags & 8) != 0 ? 4 : 0);
        if (frames < 0 || p + 36 > len || crc16(frame, p + 34) != ((frame[p + 34] & 0xff) << 8
                | (frame[p + 35] & 0xff))) {
            return new long[] {frames, -1, -1};
        }
        int delay = ((frame[p + 21] & 0xff) << 4) | ((frame[p + 22] & 0xff) >> 4);
        int padding = ((frame[p + 22] & 0x0f) << 8) | (frame[p + 23] & 0xff);
        return new long[] {frames, delay, padding};
    }

    /** A file starts at the next frame of music, described by its Info frame's {@code tag} (or none). */
    private void startSegment(long[] tag) {
        long begin = framesPassed * samplesPerFrame + decoderDelay;
        long from = begin;
        long to = -1;
        if (tag != null && tag[1] >= 0) {
            long music = tag[0] * samplesPerFrame - tag[1] - tag[2];
            if (music > 0) {
                from += tag[1];
                to = from + music;
            }
        }
        segments.add(new Segment(begin, from, to));
        segmentFrames = tag != null ? tag[0] : -1;
        segmentFramesPassed = 0;
    }

    /** Loads the next frame of music, taking the Info frames of files joined on as their start. */
    private boolean nextMusicFrame() throws IOException {
        while (nextFrame()) {
            long[] tag = tag();
            if (tag != null) {
                startSegment(tag);
                continue;
            }
            if (segmentFrames >= 0 && segmentFramesPassed == segmentFrames) {
                // More frames than the file's notes count: what follows is music they do not describe.
                startSegment(null);
            }
            framesPassed++;
            segmentFramesPassed++;
            return true;
        }
        return false;
    }

    @Override
    public int read() throws IOException {
        return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int n) throws IOException {
        start();
        if (n == 0) {
            return 0;
        }
        if (passThrough && pos == len) {
            return in.read(b, off, n);
        }
        if (pos == len && !nextMusicFrame()) {
            return -1;
        }
        int k = Math.min(n, len - pos);
        System.arraycopy(frame, pos, b, off, k);
        pos += k;
        return k;
    }

    @Override
    public void close() throws IOException {
        in.close();
    }

    private void skipId3v2() throws IOException {
        in.mark(10);
        byte[] h = new byte[10];
        int n = in.readNBytes(h, 0, 10);
        if (n == 10 && h[0] == 'I' && h[1] == 'D' && h[2] == '3' && ((h[6] | h[7] | h[8] | h[9]) & 0x80) == 0) {
            long size = ((h[6] & 0x7fL) << 21) | ((h[7] & 0x7f) << 14) | ((h[8] & 0x7f) << 7) | (h[9] & 0x7f);
            try {
                in.skipNBytes(size + ((h[5] & 0x10) != 0 ? 10 : 0));
            } catch (java.io.EOFException e) {
                // A tag that runs to the end of the file: no frames follow.
            }
        } else {
            in.reset();
        }
    }

    /** Loads the next frame that agrees with the first into {@link #frame}; false at the end. */
    private boolean nextFrame() throws IOException {
        pos = 0;
        len = 0;
        if (started && firstHeader != 0) {
            in.mark(3);
            boolean tag = in.read() == 'I' && in.read() == 'D' && in.read() == '3';
            in.reset();
            if (tag) {
                // A joined file's tag: its pictures must not be searched for frames.
                skipId3v2();
            }
        }
        int h = 0;
        int seen = 0;
        while (true) {
            int b = in.read();
            if (b < 0) {
                return false;
            }
            h = (h << 8) | b;
            if (++seen >= 4 && isHeader(h) && (firstHeader == 0 || sameStream(firstHeader, h))) {
                break;
            }
        }
        if (firstHeader == 0) {
            firstHeader = h;
        }
        frame[0] = (byte) (h >>> 24);
        frame[1] = (byte) (h >>> 16);
        frame[2] = (byte) (h >>> 8);
        frame[3] = (byte) h;
        int size = frameSize(h);
        if (size == 0) {
            passThrough = true;
            len = 4;
            return true;
        }
        len = 4 + in.readNBytes(frame, 4, size - 4);
        if (len < size) {
            cut = true;
            len = 0;
            return false;
        }
        return true;
    }

    private static boolean isHeader(int h) {
        return (h >>> 21) == 0x7ff && version(h) != 1 && layer(h) != 0 && ((h >> 12) & 15) != 15
                && ((h >> 10) & 3) != 3 && (h & 3) != 2;
    }

    private static boolean sameStream(int a, int b) {
        return version(a) == version(b) && layer(a) == layer(b) && ((a >> 10) & 3) == ((b >> 10) & 3);
    }

    /** 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5. */
    private static int version(int h) {
        return (h >> 19) & 3;
    }

    /** 1, 2 or 3; 0 is reserved. */
    private static int layer(int h) {
        return 4 - ((h >> 17) & 3);
    }

    private static int sampleRate(int h) {
        int rate = RATES[(h >> 10) & 3];
        return version(h) == 3 ? rate : version(h) == 2 ? rate / 2 : rate / 4;
    }

    private static int samplesPerFrame(int h) {
        return layer(h) == 1 ? 384 : layer(h) == 3 && version(h) != 3 ? 576 : 1152;
    }

    private static int sideInfoSize(int h) {
        boolean mono = ((h >> 6) & 3) == 3;
        return version(h) == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    }

    /** Bytes in the frame, header included; 0 for free format. */
    private static int frameSize(int h) {
        int index = (h >> 12) & 15;
        if (index == 0) {
            return 0;
        }
        int table = version(h) == 3 ? layer(h) - 1 : layer(h) == 1 ? 3 : 4;
        long bitrate = BITRATES[table][index - 1] * 1000L;
        int padding = (h >> 9) & 1;
        if (layer(h) == 1) {
            return (int) ((12 * bitrate / sampleRate(h) + padding) * 4);
        }
        return (int) (samplesPerFrame(h) / 8 * bitrate / sampleRate(h) + padding);
    }

    private static int header(byte[] b, int o) {
        return be32(b, o);
    }

    private static int be32(byte[] b, int o) {
        return (b[o] << 24) | ((b[o + 1] & 0xff) << 16) | ((b[o + 2] & 0xff) << 8) | (b[o + 3] & 0xff);
    }

    /** The LAME tag's checksum: CRC-16 (polynomial 0x8005, reflected) of the frame up to it. */
    private static int crc16(byte[] b, int n) {
        int crc = 0;
        for (int i = 0; i < n; i++) {
            crc ^= b[i] & 0xff;
            for (int k = 0; k < 8; k++) {
                crc = (crc & 1) != 0 ? (crc >>> 1) ^ 0xA001 : crc >>> 1;
            }
        }
        return crc;
    }
}
