package quorvel.tambrino.audio;

/** Conversions of one stored sample to 16 bits, for the encodings that the readers decode themselves. */
final class SampleDecoder {
    private SampleDecoder() {}

    /** One sample at a byte offset to a 16-bit value. */
    interface Decoder {
        short sample(byte[] b, int offset);
    }

    /** Integer PCM of 8, 16, 24 or 32 bits; null for any other size. */
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
