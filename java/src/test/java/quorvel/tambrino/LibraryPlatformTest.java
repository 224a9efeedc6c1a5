package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import org.junit.jupiter.api.Test;

/** Which of the jar's libraries the loader picks, for the values the JVMs report. */
class LibraryPlatformTest {
    @Test
    void picksEachCarriedPlatformAndNoOther() {
        assertEquals("/native/linux-x86-64/libtambrino.so", NativeInterface.libraryResource("Linux", "amd64"));
        assertEquals("/native/linux-aarch64/libtambrino.so", NativeInterface.libraryResource("Linux", "aarch64"));
        assertEquals("/native/windows-x86-64/tambrino.dll", NativeInterface.libraryResource("Windows 11", "amd64"));
        assertEquals("/native/windows-x86-64/tambrino.dll", NativeInterface.libraryResource("Windows Server 2022", "x86_64"));
        assertNull(NativeInterface.libraryResource("Mac OS X", "aarch64"));
        assertNull(NativeInterface.libraryResource("Windows 11", "aarch64"));
        assertNull(NativeInterface.libraryResource("Linux", "arm"));
        assertNull(NativeInterface.libraryResource("FreeBSD", "amd64"));
    }
}
