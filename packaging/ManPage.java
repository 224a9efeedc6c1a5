// Writes the tambrino(1) manual page in troff from the command line's own help, so that the two cannot disagree.

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import picocli.CommandLine;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.Model.PositionalParamSpec;
import quorvel.tambrino.cli.Tambrino;

/**
 * {@code java ManPage VERSION DATE OUT}: the page for {@code man tambrino}.
 * Every word of the commands, options and exit codes comes from picocli's
 * model of the tool (what {@code --help} prints); only the sections that the
 * help has no place for (the environment, the files, related programs) are
 * written here.
 */
public final class ManPage {
    private ManPage() {}

    public static void main(String[] args) throws IOException {
        if (args.length != 3) {
            System.err.println("usage: java ManPage VERSION DATE OUT");
            System.exit(2);
        }
        Files.writeString(Path.of(args[2]), page(args[0], args[1]), StandardCharsets.UTF_8);
    }

    static String page(String version, String date) {
        CommandLine top = new CommandLine(new Tambrino());
        CommandSpec tool = top.getCommandSpec();
        List<CommandSpec> commands = new ArrayList<>();
        for (CommandLine sub : top.getSubcommands().values()) {
            if (!(sub.getCommand() instanceof CommandLine.HelpCommand)) {
                commands.add(sub.getCommandSpec());
            }
        }
        java.io.StringWriter text = new java.io.StringWriter();
        PrintWriter out = new PrintWriter(text);
        out.println(".\\\" Generated from the help of tambrino " + version + "; edit the commands' help, not this.");
        out.println(".TH TAMBRINO 1 " + quoted(date) + " " + quoted("tambrino " + version) + " \"User Commands\"");
        // Options and file names are not hyphenated, so that what is read can be typed.
        out.println(".nh");
        out.println(".ad l");

        out.println(".SH NAME");
        String summary = String.join(" ", tool.usageMessage().description());
        out.println("tambrino \\- " + escape(Character.toLowerCase(summary.charAt(0)) + summary.substring(1)
                .replaceAll("\\.$", "")));

        out.println(".SH SYNOPSIS");
        out.println(".nf");
        for (CommandSpec c : commands) {
            for (String line : synopsis(c)) {
                out.println(escape(line));
            }
        }
        out.println("\\fBtambrino help\\fR [\\fICOMMAND\\fR]");
        out.println("\\fBtambrino\\fR \\-\\-help | \\-\\-version");
        out.println(".fi");

        out.println(".SH DESCRIPTION");
        paragraphs(out, tool.usageMessage().description());
        out.println(".PP");
        out.println("Every command also takes");
        out.println("\\fB\\-h\\fR, \\fB\\-\\-help\\fR (its options) and \\fB\\-V\\fR, \\fB\\-\\-version\\fR"
                + " (the version, the engine's library and the Java runtime).");

        out.println(".SH COMMANDS");
        for (CommandSpec c : commands) {
            out.println(".SS " + quoted("tambrino " + c.name()));
            paragraphs(out, c.usageMessage().description());
            for (PositionalParamSpec p : c.positionalParameters()) {
                if (!p.hidden()) {
                    item(out, "\\fI" + escape(p.paramLabel()) + "\\fR", p.description());
                }
            }
            for (OptionSpec o : c.options()) {
                if (!o.hidden() && !o.usageHelp() && !o.versionHelp()) {
                    item(out, optionTag(o), o.description());
                }
            }
        }

        out.println(".SH EXIT STATUS");
        paragraphs(out, tool.usageMessage().footer());

        out.println(".SH ENVIRONMENT");
        item(out, "\\fBJAVA_HOME\\fR", new String[] {"The Java runtime to run on (17 or later); without it, or when"
                + " it is older, the system's."});
        item(out, "\\fBTAMBRINO_JAVA_OPTS\\fR", new String[] {"Options for the Java virtual machine, such as"
                + " -Dtambrino.ffmpeg=PROGRAM (the ffmpeg to decode and encode with instead of the one on the PATH)."});
        item(out, "\\fBXDG_CONFIG_HOME\\fR", new String[] {"The folder of the practice window's memory (default:"
                + " ~/.config)."});
        out.println(".SH FILES");
        item(out, "\\fI$XDG_CONFIG_HOME/tambrino/\\fR", new String[] {"What the practice window keeps per song"
                + " (markers, loops, the last tempo and settings) and its recent files. Removing the package leaves"
                + " them."});
        out.println(".SH SEE ALSO");
        out.println(".BR ffmpeg (1)");
        out.flush();
        return text.toString();
    }

    /** The command's synopsis as its help gives it: its own lines, else the command, options and parameters. */
    private static List<String> synopsis(CommandSpec c) {
        List<String> lines = new ArrayList<>();
        String[] custom = c.usageMessage().customSynopsis();
        if (custom.length > 0) {
            for (String line : custom) {
                lines.add(line.strip());
            }
            return lines;
        }
        StringBuilder line = new StringBuilder("tambrino " + c.name() + (c.options().size() > 2 ? " [OPTIONS]" : ""));
        for (PositionalParamSpec p : c.positionalParameters()) {
            boolean optional = p.arity().min() == 0;
            String label = p.paramLabel() + (p.arity().max() > 1 ? "..." : "");
            line.append(' ').append(optional ? "[" + label + "]" : label);
        }
        lines.add(line.toString());
        return lines;
    }

    /** "--tempo=FACTOR", "--[no-]spectrum", "-h, --help" in bold with the value's name in italics. */
    private static String optionTag(OptionSpec o) {
        List<String> names = new ArrayList<>();
        for (String name : o.names()) {
            String shown = o.negatable() && name.startsWith("--") ? "--[no-]" + name.substring(2) : name;
            names.add("\\fB" + escape(shown) + "\\fR");
        }
        String tag = String.join(", ", names);
        if (o.arity().max() > 0) {
            String label = o.paramLabel();
            if (!o.splitRegex().isEmpty()) {
                String separator = o.splitRegexSynopsisLabel().isEmpty() ? o.splitRegex() : o.splitRegexSynopsisLabel();
                label += "[" + separator + label + "...]";
            }
            tag += "=\\fI" + escape(label) + "\\fR";
        }
        return tag;
    }

    private static void item(PrintWriter out, String tag, String[] description) {
        out.println(".TP");
        out.println(tag);
        List<String> lines = new ArrayList<>();
        for (String d : description) {
            lines.add(escape(format(d)));
        }
        out.println(String.join("\n.br\n", lines));
    }

    private static void paragraphs(PrintWriter out, String[] text) {
        for (String p : text) {
            String line = format(p).strip();
            if (!line.isEmpty()) {
                out.println(".PP");
                out.println(escape(line));
            }
        }
    }

    /** A help string as picocli prints it: %n a line break, %% a percent sign. */
    private static String format(String s) {
        return s.replace("%n", "\n").replace("%%", "%");
    }

    /**
     * Text for troff: a backslash and a hyphen as typed (so that an option
     * copied from the page works), no line taken for a request.
     */
    static String escape(String s) {
        StringBuilder b = new StringBuilder();
        for (String line : s.split("\n", -1)) {
            if (b.length() > 0) {
                b.append("\n.br\n");
            }
            String t = line.replace("\\", "\\e").replace("-", "\\-");
            if (t.startsWith(".") || t.startsWith("'")) {
                t = "\\&" + t;
            }
            b.append(t);
        }
        return b.toString();
    }

    private static String quoted(String s) {
        return "\"" + escape(s).replace("\"", "\\(dq") + "\"";
    }

    static {
        Locale.setDefault(Locale.ROOT);
    }
}
