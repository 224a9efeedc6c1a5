package quorvel.tambrino.stress;

/**
 * The C-heap allocations of the calling thread, counted by the library that
 * the virtual machine was started with in {@code LD_PRELOAD} (named again by
 * the system property {@code tambrino.mallocCounter}, so that its counting
 * functions can be bound).
 */
final class MallocCounter {
    private MallocCounter() {}

    static {
        System.load(System.getProperty("tambrino.mallocCounter"));
    }

    /** Starts counting this thread's allocations, from zero. */
    static native void start();

    /** Stops counting and returns how many allocations this thread made. */
    static native long stop();

    /** Whether the library stands in for malloc in this process. */
    static native boolean active();
}
