// Conversions of one stored sample to 16 bits, for the encodings that the readers decode themselves.
package quorvel.tambrino.audio;

/**
 * Conversions of one stored sample to 16 bits: integer PCM rounded to
 * nearest, float scaled from full scale ±1.0, and the G.711 companding laws
 * (A-law and mu-law) expanded to their 16-bit values. Pure functions, any
 * thread.
 */
final class SampleDecoder {
    private SampleDecoder() {}

    /** The 16-bit values of the 256 A-law and mu-law codes (ITU-T G.711). */
    private static final short[] ALAW = new short[256];
    private static final short[] ULAW = new short[256];

    static {
        for (int code = 0; code < 256; code++) {
            int a = code ^ 0x55;
            int exponent = (a >> 4) & 7;
            int magnitude = ((a & 0x0f) << 4) + 8;
            if (exponent > 0) {
                magnitude = (magnitude + 0x100) << (exponent - 1);
            }
            ALAW[code] = (short) ((a & 0x80) != 0 ? magnitude : -magnitude);
            int u = ~code & 0xff;
            int t = (((u & 0x0f) << 3) + 0x84) << ((u >> 4) & 7);
            ULAW[code] = (short) ((u & 0x80) != 0 ? 0x84 - t : t - 0x84);
        }
    }

    /** G.711 A-law, one byte a sample. */
    static Decoder forAlaw() {
        return (b, o) -> ALAW[b[o] & 0xff];
    }

    /** G.711 mu-law, one byte a sample. */
    static Decoder forUlaw() {
        return (b, o) -> ULAW[b[o] & 0xff];
    }

    /** One sample at a byte offset to a 16-bit value. */
    interface Decoder {
        short sample(byte[] b, int offset);
    }

    /**
     * Integer PCM in containers of 8, 16, 24 or 32 bits; null for any other
     * size. Fewer valid bits (12 in 16, 20 in 24) sit at the top of their
     * container, so the container is read whole.
     */
    static Decoder forPcm(int bits, boolean signed, boolean bigEndian) {
        switch (bits) {
            case 8:
                return signed ? (b, o) -> (short) (b[o] << 8) : (b, o) -> (short) (((b[o] & 0xff) - 128) << 8);
            case 16:
                return bigEndian ? (b, o) -> (short) ((b[o] << 8) | (b[o + 1] & 0xff))
                                 : (b, o) -> (short) ((b[o + 1] << 8) | (b[o] & 0xff));
            case 24:
                return bigEndian ? (b, o) -> from24((b[o] << 16) | ((b[o + 1] & 0xff) << 8) | (b[o + 2] & 0xff))
                                 : (b, o) -> from24((b[o + 2] << 16) | ((b[o + 1] & 0xff) << 8) | (b[o] & 0xff));
            case 32:
                return bigEndian ? (b, o) -> from32(be32(b, o)) : (b, o) -> from32(WavReader.le32(b, o));
            default:
                return null;
        }
    }

    /** IEEE float of 32 or 64 bits, full scale ±1.0; null for any other size. */
    static Decoder forFloat(int bits, boolean bigEndian) {
        if (bits == 32) {
            return (b, o) -> fromFloat(Float.intBitsToFloat(bigEndian ? be32(b, o) : WavReader.le32(b, o)));
        }
        if (bits == 64) {
            return (b, o) -> {
                long v = bigEndian ? ((long) be32(b, o) << 32) | (be32(b, o + 4) & 0xffffffffL)
                                   : ((long) WavReader.le32(b, o + 4) << 32) | (WavReader.le32(b, o) & 0xffffffffL);
                return fromFloat(Double.longBitsToDouble(v));
            };
        }
        return null;
    }

    private static int be32(byte[] b, int o) {
        return (b[o] << 24) | ((b[o + 1] & 0xff) << 16) | ((b[o + 2] & 0xff) << 8) | (b[o + 3] & 0xff);
    }

    /** 24 to 16 bits, rounded to nearest. */
    private static short from24(int v) {
        return (short) Math.min(32767, (v + 128) >> 8);
    }

    /** 32 to 16 bits, rounded to nearest (in 64 bits: the rounding offset must not overflow). */
    private static short from32(int v) {
        return (short) Math.min(32767, ((long) v + 32768) >> 16);
    }

    /** Full scale ±1.0 to 16 bits, rounded to nearest and clipped; NaN becomes silence. */
    private static short fromFloat(double x) {
        if (x != x) {
            return 0;
        }
        return (short) Math.max(-32768, Math.min(32767, Math.round(x * 32768.0)));
    }
}
