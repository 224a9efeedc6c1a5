package quorvel.tambrino;

/** The engine's two processing modes. */
public enum Quality {
    /**
     * The phase vocoder as it has always been, every output sample the same:
     * each block returns whole synthesis hops, so the tempo played is the
     * analysis hop over the nearest whole synthesis hop.
     */
    EXACT(NativeInterface.QUALITY_EXACT),
    /**
     * The mode to practise with: linked stereo phases, a steady level at any
     * hop, sharp attacks, and exactly the requested tempo on average.
     */
    FINE(NativeInterface.QUALITY_FINE);

    /** The value that {@link NativeInterface#dspQualityMode} takes. */
    public final int code;

    Quality(int code) {
        this.code = code;
    }
}
