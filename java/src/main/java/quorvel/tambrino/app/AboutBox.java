// The practice window's About box: the version, and the engine and platform it runs on.
package quorvel.tambrino.app;

import java.util.Locale;
import javax.swing.JFrame;
import javax.swing.JOptionPane;
import quorvel.tambrino.NativeInterface;

/** What the About box says, and the box. Event dispatch thread only. */
final class AboutBox {
    private AboutBox() {}

    /** The version, the engine with where it was loaded from and for which platform, and Java. */
    static String text() {
        String v = version();
        String origin = NativeInterface.libraryOrigin();
        String platform = System.getProperty("os.name") + " on " + System.getProperty("os.arch");
        String engine = origin == null ? "the engine is not loaded yet"
                : "engine: " + (origin.startsWith("jar:") ? "the copy for " + platformName() + " carried in the jar"
                        : origin);
        return "tambrino " + (v == null ? "(development build)" : v) + "\n\n"
                + "Slows music down or speeds it up without changing its pitch, transposes it, removes the centred"
                + " voice and loops the hard bits, for practising.\n\n"
                + engine + "\n"
                + "platform: " + platform + "\n"
                + "Java " + System.getProperty("java.version") + " (" + System.getProperty("java.vm.name") + ")";
    }

    /**
     * The version on the manifest of the jar this class came from, or null
     * (a build's classes). Read from the jar itself: a package that a
     * folder of classes shares with the jar (a test's) takes its version
     * from whichever class came first.
     */
    static String version() {
        String v = AboutBox.class.getPackage().getImplementationVersion();
        if (v != null) {
            return v;
        }
        try {
            java.security.CodeSource source = AboutBox.class.getProtectionDomain().getCodeSource();
            if (source == null || !source.getLocation().getPath().endsWith(".jar")) {
                return null;
            }
            try (java.util.jar.JarFile jar = new java.util.jar.JarFile(new java.io.File(source.getLocation().toURI()))) {
                java.util.jar.Manifest m = jar.getManifest();
                return m == null ? null : m.getMainAttributes().getValue("Implementation-Version");
            }
        } catch (java.io.IOException | java.net.URISyntaxException | SecurityException e) {
            return null;
        }
    }

    /** The jar's name for this platform, as its resources are named ("linux-x86-64"). */
    private static String platformName() {
        String os = System.getProperty("os.name").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch").toLowerCase(Locale.ROOT);
        String o = os.startsWith("windows") ? "windows" : os.startsWith("linux") ? "linux" : os;
        String a = arch.equals("amd64") || arch.equals("x86_64") ? "x86-64"
                : arch.equals("arm64") ? "aarch64" : arch;
        return o + "-" + a;
    }

    static void show(JFrame frame) {
        JOptionPane.showMessageDialog(frame, Messages.wrapped(text()), "About tambrino",
                JOptionPane.INFORMATION_MESSAGE);
    }
}
