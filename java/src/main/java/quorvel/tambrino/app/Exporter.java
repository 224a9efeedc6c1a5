// The practice window's export: the loop or the song, with the window's settings, to a WAV file (or a format ffmpeg encodes) beside the song.
package quorvel.tambrino.app;

import java.awt.BorderLayout;
import java.io.File;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.Map;
import java.util.concurrent.CancellationException;
import java.util.concurrent.CompletableFuture;
import java.util.function.Consumer;
import javax.swing.BorderFactory;
import javax.swing.JButton;
import javax.swing.JDialog;
import javax.swing.JFileChooser;
import javax.swing.JOptionPane;
import javax.swing.JPanel;
import javax.swing.JProgressBar;
import javax.swing.SwingUtilities;
import javax.swing.filechooser.FileNameExtensionFilter;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.FfmpegWriter;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.StretchJob;
import quorvel.tambrino.practice.Transport;

/**
 * Writes the loop or the whole song with the window's settings through the
 * same stretch as the command line, on a thread and an engine of its own
 * (the song plays on), with a progress bar and Cancel; nothing is written
 * when it is cancelled or fails. The dialogs are on the event dispatch
 * thread; the stretch is not.
 */
final class Exporter {
    private final PracticeWindow w;
    /** The export running, or null; {@link #cancelAndWait()} cancels it and waits for it. */
    private Thread thread;
    private volatile boolean cancelled;

    Exporter(PracticeWindow w) {
        this.w = w;
    }

    /** Asks where to write, then exports. */
    void choose(boolean loopOnly, Settings.Builder settings) {
        Song song = w.song();
        if (song == null) {
            w.status("open a song first");
            return;
        }
        if (loopOnly && !w.loopControls().hasLoop()) {
            w.status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        JFileChooser fc = new JFileChooser(song.path.getParent().toFile());
        fc.setDialogTitle(loopOnly ? "Export the loop" : "Export the song");
        // WAV, and with ffmpeg installed the formats it encodes, as the command line writes them.
        fc.setAcceptAllFileFilterUsed(false);
        Map<javax.swing.filechooser.FileFilter, FfmpegWriter.Format> formats = new HashMap<>();
        for (FfmpegWriter.Format f : FfmpegWriter.Format.values()) {
            if (f.encoded() && !FfmpegWriter.available()) {
                continue;
            }
            FileNameExtensionFilter filter = new FileNameExtensionFilter(f.label + " files",
                    f.names.stream().map(n -> n.substring(1)).toArray(String[]::new));
            formats.put(filter, f);
            fc.addChoosableFileFilter(filter);
        }
        fc.setFileFilter(fc.getChoosableFileFilters()[0]);
        String base = song.name.replaceFirst("\\.[^.]*$", "");
        int times = w.loopControls().repeatCount();
        fc.setSelectedFile(new File(song.path.getParent().toFile(), base + "-" + Math.round(settings.tempo * 100)
                + (loopOnly ? "-loop" + (times > 1 ? "-x" + times : "") : "") + ".wav"));
        if (fc.showSaveDialog(w.frame()) != JFileChooser.APPROVE_OPTION) {
            return;
        }
        Path target = fc.getSelectedFile().toPath();
        FfmpegWriter.Format named = FfmpegWriter.Format.ofName(target.getFileName().toString());
        FfmpegWriter.Format chosen = formats.getOrDefault(fc.getFileFilter(), FfmpegWriter.Format.WAV);
        if (named == null || !formats.containsValue(named)
                || !target.getFileName().toString().contains(".")) {
            // A name without an ending this offers takes the chosen format's.
            target = target.resolveSibling(target.getFileName() + chosen.names.get(0));
        } else if (named == FfmpegWriter.Format.WAV && chosen != named) {
            // The suggested name's .wav with another format chosen: that format's ending instead.
            target = target.resolveSibling(target.getFileName().toString().replaceFirst("(?i)\\.wave?$", "")
                    + chosen.names.get(0));
        }
        if (target.toFile().exists() && JOptionPane.showConfirmDialog(w.frame(), target + " exists. Replace it?",
                "tambrino", JOptionPane.OK_CANCEL_OPTION) != JOptionPane.OK_OPTION) {
            return;
        }
        export(target, loopOnly, settings, null);
    }

    /**
     * Writes the loop or the song with {@code b}'s settings to
     * {@code target}; {@code shown} is told the progress dialog once shown.
     * Completes with the stretch's summary, or exceptionally (cancelled:
     * {@link CancellationException}).
     */
    CompletableFuture<String> export(Path target, boolean loopOnly, Settings.Builder b, Consumer<JDialog> shown) {
        CompletableFuture<String> result = new CompletableFuture<>();
        Song s = w.song();
        LoopControls loop = w.loopControls();
        Settings settings;
        Passage passage;
        try {
            settings = b.build();
            passage = Passage.of(s.name, loopOnly ? (double) loop.a() / s.sampleRate : null,
                    loopOnly ? (double) loop.b() / s.sampleRate : null, null, s.frames(), s.sampleRate);
        } catch (CliException e) {
            w.status("export: " + e.getMessage());
            result.completeExceptionally(e);
            return result;
        }
        // The title says what; the text below names the file whole, wrapped: a title is cut where it is too long.
        JDialog dialog = new JDialog(w.frame(), loopOnly ? "Exporting the loop" : "Exporting the song", false);
        JProgressBar bar = new JProgressBar(0, 1000);
        bar.setStringPainted(true);
        JButton cancel = new JButton("Cancel");
        cancelled = false;
        cancel.addActionListener(e -> cancelled = true);
        JPanel pane = new JPanel(new BorderLayout(8, 8));
        pane.setBorder(BorderFactory.createEmptyBorder(12, 12, 12, 12));
        pane.add(Messages.wrapped("Writing " + target.getFileName() + " in " + target.toAbsolutePath().getParent()),
                BorderLayout.NORTH);
        pane.add(bar, BorderLayout.CENTER);
        pane.add(cancel, BorderLayout.EAST);
        dialog.setContentPane(pane);
        Screens.onEscape(dialog, () -> cancelled = true);
        dialog.pack();
        dialog.setLocationRelativeTo(w.frame());
        dialog.setVisible(true);
        if (shown != null) {
            shown.accept(dialog);
        }
        int times = loopOnly ? loop.repeatCount() : 1;
        long gap = Math.round(loop.gapSeconds() * s.sampleRate * settings.tempo);
        long loopA = loop.a();
        long loopB = loop.b();
        Thread t = new Thread(() -> {
            String summaryText = null;
            Throwable failure = null;
            try {
                PcmSource source = times > 1 ? repeated(s, passage, loopA, loopB, times, gap)
                        : new Transport(s.pcm, s.channels, s.sampleRate, passage, false);
                summaryText = StretchJob.run(settings, source, s.name, target,
                        FfmpegWriter.Encoding.of(target, null, s.path), null, 0, new StretchJob.Progress() {
                    @Override
                    public void update(double done, double seconds, double total) {
                        if (cancelled) {
                            throw new CancellationException("export cancelled");
                        }
                        int v = (int) Math.round(Math.max(0, done) * 1000);
                        SwingUtilities.invokeLater(() -> bar.setValue(v));
                    }
                });
            } catch (RuntimeException e) {
                failure = e;
            }
            String text = summaryText;
            Throwable why = failure;
            SwingUtilities.invokeLater(() -> {
                dialog.dispose();
                thread = null;
                if (w.isClosed()) {
                    return;
                }
                if (why instanceof CancellationException) {
                    w.status("export cancelled; " + target.getFileName() + " was not written");
                    result.completeExceptionally(why);
                } else if (why != null) {
                    w.status("export failed: " + why.getMessage());
                    if (!w.quiet) {
                        Messages.error(w.frame(), "Export failed", why.getMessage());
                    }
                    result.completeExceptionally(why);
                } else {
                    w.status("exported: " + text);
                    result.complete(text);
                }
            });
        }, "tambrino-export");
        thread = t;
        t.start();
        return result;
    }

    /**
     * The loop from {@code a} to {@code b} read {@code times} times with
     * {@code gap} frames of silence between, as the window loops it: one
     * stream of known length, stretched as one.
     */
    static PcmSource repeated(Song s, Passage passage, long a, long b, int times, long gap) {
        Transport t = new Transport(s.pcm, s.channels, s.sampleRate, passage, true);
        t.loopFrom(a);
        t.loopTo(b);
        t.setLoopGap(gap);
        long total = times * (b - a) + (times - 1) * gap;
        return new PcmSource() {
            private long done;

            @Override
            public int channels() {
                return s.channels;
            }

            @Override
            public int sampleRate() {
                return s.sampleRate;
            }

            @Override
            public long frameLength() {
                return total;
            }

            @Override
            public int read(short[] buffer, int offset, int frames) {
                int n = (int) Math.min(frames, total - done);
                if (n <= 0) {
                    return 0;
                }
                int k = t.read(buffer, offset, n);
                done += Math.max(0, k);
                return k;
            }
        };
    }

    /** Cancels an export that runs and waits for it (the window closes). */
    void cancelAndWait() {
        if (thread != null) {
            cancelled = true;
            try {
                thread.join(10_000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }
}
