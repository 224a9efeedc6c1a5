// Ogg Vorbis input: the Ogg pages and chained streams walked here, the packets decoded by JOrbis.
package quorvel.tambrino.audio;

import com.jcraft.jogg.Packet;
import com.jcraft.jogg.Page;
import com.jcraft.jogg.StreamState;
import com.jcraft.jogg.SyncState;
import com.jcraft.jorbis.Block;
import com.jcraft.jorbis.Comment;
import com.jcraft.jorbis.DspState;
import com.jcraft.jorbis.Info;
import java.io.IOException;
import java.io.InputStream;
import java.util.Locale;

/**
 * Reads Ogg Vorbis as 16-bit frames. The pages are taken apart here and
 * only the packets go to JOrbis (Debian's libjorbis-java), so that what the
 * stream holds is what is played:
 *
 * <ul>
 * <li>every page to the last, whose granule position says where the music
 *     ends, so the padding of the final block is cut and nothing more;
 * <li>a chained file (streams one after the other, as {@code cat a.ogg b.ogg}
 *     makes) plays each stream in turn; a stream with another channel count
 *     is mixed to the first one's, one at another rate or in another codec
 *     ends the reading with an error rather than be dropped;
 * <li>a stream that starts with a granule position below its decoded length
 *     (cut from a longer one) loses the surplus at its start;
 * <li>a file cut short gives every whole packet before the cut and one
 *     warning; one cut inside its headers is refused;
 * <li>streams of other codecs in the same file (a Skeleton, a video) are
 *     passed over; more than two channels are mixed to stereo.
 * </ul>
 *
 * <p>One thread opens, reads and closes it. Nothing here runs on the audio
 * path: the tool reads ahead of the engine.
 */
final class VorbisReader implements InputFile.Reader {
    /** Bytes read from the stream at a time. */
    private static final int CHUNK = 8192;
    /** Vorbis's channel order for 3 to 8 channels, as indices into WAV's speaker order. */
    private static final int[][] TO_WAV_ORDER = {
        {0, 2, 1}, {0, 1, 2, 3}, {0, 2, 1, 3, 4}, {0, 2, 1, 4, 5, 3}, {0, 2, 1, 5, 6, 4, 3},
        {0, 2, 1, 6, 7, 4, 5, 3},
    };

    private final String name;
    private final InputStream in;
    private final SyncState sync;
    private StreamState stream;
    private final Page page = new Page();
    private final Packet packet = new Packet();
    private Info info;
    private DspState dsp;
    private Block block;
    private final float[][][] pcm = new float[1][][];
    private int[] pcmIndex;
    /** The mix of the current stream's channels to stereo when it has more than two, or null. */
    private Downmix mix;
    private short[] unmixed = new short[0];
    private short[] stereo = new short[0];

    /** The channels and rate of the first stream, at which the whole file is read. */
    private final int fileChannels;
    private final int channels;
    private final int rate;

    private int serial;
    private int streams = 1;
    /** The headers of a chain's next stream while they arrive, and how many are still to come. */
    private Info nextInfo;
    private Comment nextComment;
    private int headersDue;
    private boolean streamEnded;
    private long audioPackets;
    private boolean endOfInput;
    /** Whether bytes are being passed over that are not a page, and how many times pages followed them. */
    private boolean skipping;
    private int damaged;

    /**
     * Decoded frames waiting to be read, interleaved at {@link #channels}:
     * {@code queue[head..tail)}. The current stream's frames from
     * {@code streamStart} on are held back until its first granule position
     * says whether its start is to be cut.
     */
    private short[] queue = new short[8192];
    private int head;
    private int tail;
    private int streamStart;
    private boolean startKnown;
    /** Frames the current stream has decoded, less those cut. */
    private long streamFrames;
    private long framesRead;
    private String warning;

    private VorbisReader(String name, InputStream in, SyncState sync, StreamState stream, Info first, int serial) {
        this.name = name;
        this.in = in;
        this.sync = sync;
        this.stream = stream;
        this.serial = serial;
        this.fileChannels = first.channels;
        this.rate = first.rate;
        this.channels = Math.min(fileChannels, 2);
        start(first);
    }

    /**
     * Reads the headers of the first Vorbis stream of {@code in}, passing
     * over the other streams that start beside it.
     *
     * @throws CliException when the file holds no Vorbis stream, or ends or
     *     breaks inside its headers
     * @throws InputFile.ForFfmpeg when JOrbis cannot read its headers
     */
    static VorbisReader open(String name, InputStream in) throws IOException {
        SyncState sync = new SyncState();
        sync.init();
        StreamState stream = new StreamState();
        Page page = new Page();
        Packet packet = new Packet();
        Info info = new Info();
        info.init();
        Comment comment = new Comment();
        comment.init();
        int serial = 0;
        boolean chosen = false;
        int found = 0;
        while (found < 3) {
            int r = sync.pageout(page);
            if (r == 0) {
                if (!fill(sync, in)) {
                    throw CliException.file(name + " is cut short: it ends inside its Ogg Vorbis headers, before"
                            + " any audio");
                }
                continue;
            }
            if (r < 0) {
                continue;
            }
            if (!chosen) {
                if (page.bos() == 0) {
                    throw CliException.file(name + " is not an Ogg Vorbis file that can be read: no Vorbis"
                            + " stream starts among its first pages");
                }
                if (!startsVorbis(page)) {
                    continue;
                }
                chosen = true;
                serial = page.serialno();
                stream.init(serial);
            } else if (page.serialno() != serial) {
                continue;
            }
            stream.pagein(page);
            int p;
            while (found < 3 && (p = stream.packetout(packet)) != 0) {
                if (p < 0) {
                    throw CliException.file(name + " is a damaged Ogg Vorbis file: a page of its headers is missing");
                }
                if (info.synthesis_headerin(comment, packet) < 0) {
                    // JOrbis does not know every layout (5.1 among them); ffmpeg does.
                    throw new InputFile.ForFfmpeg("Ogg Vorbis", name + " is Ogg Vorbis whose header " + (found + 1)
                            + " of 3 JOrbis cannot read (a layout it does not know, such as 5.1, or damage)");
                }
                found++;
            }
        }
        if (info.rate < WavReader.MIN_RATE || info.rate > WavReader.MAX_RATE) {
            throw CliException.file(name + " has a sample rate of " + info.rate + " Hz; supported: whole rates from "
                    + WavReader.MIN_RATE + " to " + WavReader.MAX_RATE + " Hz");
        }
        return new VorbisReader(name, in, sync, stream, info, serial);
    }

    private static boolean startsVorbis(Page p) {
        if (p.body_len < 7) {
            return false;
        }
        byte[] b = p.body_base;
        int o = p.body;
        return b[o] == 1 && b[o + 1] == 'v' && b[o + 2] == 'o' && b[o + 3] == 'r' && b[o + 4] == 'b'
                && b[o + 5] == 'i' && b[o + 6] == 's';
    }

    private static boolean fill(SyncState sync, InputStream in) throws IOException {
        int at = sync.buffer(CHUNK);
        int n = in.read(sync.data, at, CHUNK);
        if (n <= 0) {
            return false;
        }
        sync.wrote(n);
        return true;
    }

    /** Sets the decoder up for a stream whose headers are {@code i}. */
    private void start(Info i) {
        info = i;
        dsp = new DspState();
        dsp.synthesis_init(i);
        block = new Block(dsp);
        pcmIndex = new int[i.channels];
        mix = i.channels > 2 ? Downmix.of(i.channels, 0) : null;
        streamEnded = false;
        audioPackets = 0;
        streamStart = tail;
        startKnown = false;
        streamFrames = 0;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        int done = 0;
        while (done < frames) {
            int ready = (startKnown ? tail : streamStart) - head;
            if (ready > 0) {
                int n = Math.min(frames - done, ready / channels);
                System.arraycopy(queue, head, buffer, (offset + done) * channels, n * channels);
                head += n * channels;
                done += n;
                framesRead += n;
            } else if (!decodeNextChecked()) {
                if (startKnown) {
                    break;
                }
                // No granule position came: nothing to cut.
                startKnown = true;
            }
        }
        return done;
    }

    /** {@link #decodeNext()}, a decoder's failure on data that passed the pages' checksums an error of the file. */
    private boolean decodeNextChecked() throws IOException {
        try {
            return decodeNext();
        } catch (RuntimeException e) {
            throw new IOException(String.format(Locale.ROOT, "its Vorbis data cannot be decoded after %.2f s (%s)",
                    seconds(), e), e);
        }
    }

    /** Decodes the next packet; false at the end of the input. */
    private boolean decodeNext() throws IOException {
        while (true) {
            int p = stream.packetout(packet);
            if (p > 0) {
                if (headersDue > 0) {
                    header();
                } else {
                    decode();
                }
                return true;
            }
            // A gap (p < 0, a page lost) is passed over as a player would: the next packet follows.
            if (p == 0 && !nextPage()) {
                return false;
            }
        }
    }

    /** Feeds the next page of the stream being played, or starts the next stream of a chain. */
    private boolean nextPage() throws IOException {
        while (true) {
            int r = sync.pageout(page);
            if (r == 0) {
                if (endOfInput || !fill(sync, in)) {
                    endOfInput = true;
                    ended();
                    return false;
                }
                continue;
            }
            if (r < 0) {
                // Bytes that are no page, or a page whose checksum fails: damage, if pages follow.
                skipping = true;
                continue;
            }
            if (skipping) {
                skipping = false;
                damaged++;
            }
            if (page.bos() != 0 && audioPackets > 0) {
                // A stream that starts after this one played: the next of a chain (some repeat the serial number).
                nextStream();
            } else if (page.serialno() != serial) {
                // Another stream of the same file (a Skeleton, a video), or pages of one that ended.
                continue;
            }
            stream.pagein(page);
            return true;
        }
    }

    /** A stream that starts after the current one has played: the next of a chain. */
    private void nextStream() throws IOException {
        if (!startsVorbis(page)) {
            throw new IOException(String.format(Locale.ROOT, "its stream %d, from %.2f s on, is not Vorbis; only"
                    + " chained Ogg files whose streams are all Vorbis can be read", streams + 1, seconds()));
        }
        if (!streamEnded && warning == null) {
            warning = String.format(Locale.ROOT, "%s: its stream %d is cut short at %.2f s, where the next"
                    + " starts; the audio up to there is used", name, streams, seconds());
        }
        serial = page.serialno();
        streams++;
        stream = new StreamState();
        stream.init(serial);
        headersDue = 3;
        nextInfo = new Info();
        nextInfo.init();
        nextComment = new Comment();
        nextComment.init();
    }

    /** Where the decoding is, in seconds of output. */
    private double seconds() {
        return (double) (framesRead + (tail - head) / channels) / rate;
    }

    /** A header packet of a chain's next stream. */
    private void header() throws IOException {
        if (nextInfo.synthesis_headerin(nextComment, packet) < 0) {
            throw new IOException("the headers of its stream " + streams + " are damaged");
        }
        if (--headersDue > 0) {
            return;
        }
        if (nextInfo.rate != rate) {
            throw new IOException(String.format(Locale.ROOT, "its stream %d, from %.2f s on, is at %d Hz and the"
                    + " first at %d Hz; a file is read at one rate", streams, seconds(), nextInfo.rate, rate));
        }
        start(nextInfo);
    }

    /** An audio packet: its frames go to the queue, cut where the granule positions say. */
    private void decode() {
        if (block.synthesis(packet) != 0) {
            // Not an audio packet (or a damaged one): a decoder passes it over.
            return;
        }
        audioPackets++;
        dsp.synthesis_blockin(block);
        int n;
        while ((n = dsp.synthesis_pcmout(pcm, pcmIndex)) > 0) {
            append(pcm[0], pcmIndex, n);
            dsp.synthesis_read(n);
            streamFrames += n;
        }
        long granule = packet.granulepos;
        if (granule < 0) {
            return;
        }
        if (packet.e_o_s != 0) {
            streamEnded = true;
            // The last page's position is where the music ends; the last block's frames beyond it are padding.
            long surplus = Math.min(streamFrames - granule, (tail - Math.max(head, streamStart)) / channels);
            if (surplus > 0) {
                tail -= (int) surplus * channels;
                streamFrames -= surplus;
            }
        } else if (!startKnown && streamFrames > granule) {
            // A stream that begins mid-way: its first position counts fewer frames than it decoded.
            int cut = (int) Math.min(streamFrames - granule, (tail - streamStart) / channels);
            System.arraycopy(queue, streamStart + cut * channels, queue, streamStart,
                    tail - streamStart - cut * channels);
            tail -= cut * channels;
            streamFrames -= cut;
        }
        startKnown = true;
    }

    /** Converts {@code n} frames of the decoder's output onto the queue, mixed to the file's channels. */
    private void append(float[][] out, int[] index, int n) {
        int streamChannels = info.channels;
        makeRoom(n * channels);
        if (mix != null) {
            int[] order = TO_WAV_ORDER[Math.min(streamChannels, 8) - 3];
            if (unmixed.length < n * streamChannels) {
                unmixed = new short[n * streamChannels];
            }
            if (stereo.length < 2 * n) {
                stereo = new short[2 * n];
            }
            for (int c = 0; c < streamChannels; c++) {
                int to = c < order.length ? order[c] : c;
                for (int i = 0; i < n; i++) {
                    unmixed[i * streamChannels + to] = toShort(out[c][index[c] + i]);
                }
            }
            if (channels == 2) {
                mix.mix(unmixed, n, queue, tail / 2);
            } else {
                mix.mix(unmixed, n, stereo, 0);
                for (int i = 0; i < n; i++) {
                    queue[tail + i] = (short) ((stereo[2 * i] + stereo[2 * i + 1]) >> 1);
                }
            }
        } else if (streamChannels == channels) {
            for (int c = 0; c < channels; c++) {
                float[] x = out[c];
                int from = index[c];
                for (int i = 0, o = tail + c; i < n; i++, o += channels) {
                    queue[o] = toShort(x[from + i]);
                }
            }
        } else if (channels == 2) {
            // A mono stream in a stereo chain: the same on both sides.
            for (int i = 0; i < n; i++) {
                short s = toShort(out[0][index[0] + i]);
                queue[tail + 2 * i] = s;
                queue[tail + 2 * i + 1] = s;
            }
        } else {
            for (int i = 0; i < n; i++) {
                queue[tail + i] = toShort((out[0][index[0] + i] + out[1][index[1] + i]) * 0.5f);
            }
        }
        tail += n * channels;
    }

    private void makeRoom(int samples) {
        if (tail + samples <= queue.length) {
            return;
        }
        int live = tail - head;
        short[] to = live + samples <= queue.length ? queue : new short[Math.max(2 * queue.length, live + samples)];
        System.arraycopy(queue, head, to, 0, live);
        queue = to;
        streamStart = Math.max(0, streamStart - head);
        tail = live;
        head = 0;
    }

    /** Full scale ±1.0 to 16 bits, rounded to nearest and clipped. */
    private static short toShort(float x) {
        return (short) Math.max(-32768, Math.min(32767, Math.round(x * 32768f)));
    }

    /** The input ended: a stream that did not say it ended was cut short. */
    private void ended() {
        int left = sync.getBufferOffset() - sync.getDataOffset();
        boolean partial = left >= 4 && sync.data[sync.getDataOffset()] == 'O'
                && sync.data[sync.getDataOffset() + 1] == 'g' && sync.data[sync.getDataOffset() + 2] == 'g'
                && sync.data[sync.getDataOffset() + 3] == 'S';
        if (warning != null) {
            return;
        }
        if (damaged > 0 || skipping && !streamEnded) {
            warning = String.format(Locale.ROOT, "%s is damaged: %s could not be read and %s passed over", name,
                    damaged + (skipping ? 1 : 0) == 1 ? "a stretch of it" : damaged + (skipping ? 1 : 0)
                    + " stretches of it", damaged + (skipping ? 1 : 0) == 1 ? "was" : "were");
        } else if (!streamEnded || partial) {
            warning = String.format(Locale.ROOT, "%s ends %s after %.2f s: it was cut short; the audio up to there"
                    + " is used", name, partial ? "inside an Ogg page" : "before its last page", seconds());
        }
    }

    @Override
    public String description() {
        String layout = fileChannels > 2 ? fileChannels + " channels mixed to stereo"
                : channels == 1 ? "mono" : "stereo";
        return "Ogg Vorbis" + (streams > 1 ? " (" + streams + " chained streams)" : "") + ", " + layout + ", " + rate
                + " Hz";
    }

    @Override
    public String warning() {
        return warning;
    }

    @Override
    public int channels() {
        return channels;
    }

    @Override
    public int sampleRate() {
        return rate;
    }

    @Override
    public long frameLength() {
        return -1;
    }

    @Override
    public void close() throws IOException {
        in.close();
    }
}
