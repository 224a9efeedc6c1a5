// The practice window's look: the JDK's Nimbus in dark colours that match the waveform and the keyboard.
package quorvel.tambrino.app;

import java.awt.Color;
import javax.swing.UIManager;

/**
 * Sets the window's look before it is built: Nimbus (part of every JDK, so
 * nothing to install) in a dark palette of the waveform's blues, with the
 * keyboard's orange for what is lit. Where Nimbus is missing, the JDK's
 * default look serves. Event dispatch thread, once, before any window.
 */
final class Theme {
    static final Color BACKGROUND = new Color(0x262b36);
    static final Color FIELD = new Color(0x1d2330);
    static final Color TEXT = new Color(0xe6e9ef);
    static final Color ACCENT = new Color(0x6fb3e0);
    static final Color LIT = new Color(0xffb347);

    private Theme() {}

    static void install() {
        UIManager.put("control", BACKGROUND);
        UIManager.put("info", new Color(0x3a4150));
        UIManager.put("nimbusBase", new Color(0x18314a));
        UIManager.put("nimbusBlueGrey", new Color(0x4b5568));
        UIManager.put("nimbusAlertYellow", new Color(0xf0c050));
        UIManager.put("nimbusDisabledText", new Color(0x7d8596));
        UIManager.put("nimbusFocus", ACCENT);
        UIManager.put("nimbusGreen", new Color(0x5fb87a));
        UIManager.put("nimbusInfoBlue", new Color(0x4a90c8));
        UIManager.put("nimbusLightBackground", FIELD);
        UIManager.put("nimbusOrange", LIT);
        UIManager.put("nimbusRed", new Color(0xe05a5a));
        UIManager.put("nimbusSelectedText", Color.WHITE);
        UIManager.put("nimbusSelectionBackground", new Color(0x2f6aa3));
        UIManager.put("text", TEXT);
        try {
            for (UIManager.LookAndFeelInfo i : UIManager.getInstalledLookAndFeels()) {
                if (i.getName().equals("Nimbus")) {
                    UIManager.setLookAndFeel(i.getClassName());
                    return;
                }
            }
        } catch (ReflectiveOperationException | javax.swing.UnsupportedLookAndFeelException e) {
            // The default look serves as well.
        }
    }
}
