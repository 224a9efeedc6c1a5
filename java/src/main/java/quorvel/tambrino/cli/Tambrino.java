// The tambrino command: its subcommands, its messages and its one rule of exit codes.
package quorvel.tambrino.cli;

import java.io.PrintWriter;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Model.PositionalParamSpec;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;
import picocli.CommandLine.UnmatchedArgumentException;
import quorvel.tambrino.NativeInterface;
import quorvel.tambrino.audio.CliException;

/**
 * The {@code tambrino} command: changes the tempo of music without changing
 * its pitch, through the engine.
 *
 * <p>Exit codes ({@link CliException}): 0 done, 1 file, 2 usage, 3 audio
 * device, 4 engine.
 */
@Command(name = "tambrino", mixinStandardHelpOptions = true, versionProvider = Tambrino.Version.class,
        description = "Changes the tempo of music without changing its pitch.",
        subcommands = {StretchCommand.class, PlayCommand.class, DemoCommand.class, AppCommand.class,
            CommandLine.HelpCommand.class},
        footer = {"", "Exit codes: 0 done, 1 file (cannot be read or written, unsupported, the reader went away),"
                + " 2 usage (invalid option, argument or passage), 3 device (audio output, display), 4 engine.",
            "Ctrl-C, SIGTERM and SIGHUP end a run like a write error: a message, exit 1, no partial file."})
public final class Tambrino implements Runnable {
    /** The command line that runs this command, for its usage errors. */
    private CommandLine commandLine;

    @Override
    public void run() {
        throw new ParameterException(commandLine, "a command is missing: choose stretch, play, app or demo");
    }

    public static void main(String[] args) {
        Interrupts.install();
        String unreadable = unreadableArgument(args);
        if (unreadable != null) {
            System.err.println("tambrino: the argument '" + unreadable + "' holds characters that the locale's"
                    + " character set (" + System.getProperty("sun.jnu.encoding") + ") cannot hold; run the tool"
                    + " through bin/tambrino, which sets a UTF-8 one, or set LC_ALL=C.UTF-8");
            Interrupts.exit(CliException.EXIT_USAGE);
        }
        int code = execute(args);
        // The summaries go through System.out, which keeps its write errors to itself. On a pipe the
        // error is its reader going away (... | head -1), which ends a run quietly.
        if (System.out.checkError() && code == 0) {
            if (!stdoutIsPipe()) {
                System.err.println("tambrino: cannot write the summary to standard output");
            }
            code = CliException.EXIT_FILE;
        }
        Interrupts.exit(code);
    }

    /** Whether standard output is a pipe (Linux names it so); false where it cannot tell. */
    private static boolean stdoutIsPipe() {
        try {
            return java.nio.file.Files.readSymbolicLink(java.nio.file.Path.of("/proc/self/fd/1")).toString()
                    .startsWith("pipe:");
        } catch (java.io.IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * An argument that arrived with characters the runtime could not decode
     * (a name in UTF-8 under the C locale, where the runtime reads ASCII):
     * the file it names cannot be opened under any spelling. Null when all
     * are whole.
     */
    static String unreadableArgument(String[] args) {
        for (String a : args) {
            if (a.indexOf('\uFFFD') >= 0) {
                return a;
            }
        }
        return null;
    }

    /** Runs the command line and returns its exit code. */
    static int execute(String... args) {
        Tambrino top = new Tambrino();
        CommandLine cl = new CommandLine(top);
        top.commandLine = cl;
        ITypeConverter<Double> number = text -> {
            try {
                return Double.valueOf(text.trim());
            } catch (NumberFormatException e) {
                throw new TypeConversionException("'" + text + "' is not a number");
            }
        };
        ITypeConverter<Integer> whole = text -> {
            try {
                return Integer.valueOf(text.trim());
            } catch (NumberFormatException e) {
                throw new TypeConversionException("'" + text + "' is not a whole number");
            }
        };
        cl.registerConverter(Double.class, number).registerConverter(Double.TYPE, number)
                .registerConverter(Integer.class, whole).registerConverter(Integer.TYPE, whole);
        cl.setParameterExceptionHandler((ex, a) -> {
            PrintWriter err = ex.getCommandLine().getErr();
            err.println("tambrino: " + usageMessage(ex));
            err.println("Try '" + qualifiedName(ex.getCommandLine()) + " --help' for the options.");
            err.flush();
            return CliException.EXIT_USAGE;
        });
        cl.setExecutionExceptionHandler((ex, commandLine, parseResult) -> {
            PrintWriter err = commandLine.getErr();
            CliException known = userFailure(ex);
            int code;
            if (known != null) {
                if (known.getMessage() != null) {
                    err.println("tambrino: " + known.getMessage());
                }
                code = known.exitCode;
            } else {
                err.println("tambrino: the engine failed: " + ex);
                code = CliException.EXIT_ENGINE;
            }
            err.flush();
            return code;
        });
        cl.setExecutionStrategy(parsed -> {
            // Messages quote the engine's options as they were typed, not as they were converted.
            CommandLine.ParseResult leaf = parsed;
            while (leaf.hasSubcommand()) {
                leaf = leaf.subcommand();
            }
            for (CommandLine.Model.CommandSpec mixin : leaf.commandSpec().mixins().values()) {
                if (mixin.userObject() instanceof EngineOptions) {
                    ((EngineOptions) mixin.userObject()).rememberTyped(leaf);
                }
            }
            return new CommandLine.RunLast().execute(parsed);
        });
        return cl.execute(args);
    }

    /**
     * The message of a command line that cannot run. picocli's own words are
     * kept where they name the option; an argument it cannot place is named
     * with what the command takes instead.
     */
    static String usageMessage(ParameterException ex) {
        if (!(ex instanceof UnmatchedArgumentException)) {
            return ex.getMessage();
        }
        UnmatchedArgumentException u = (UnmatchedArgumentException) ex;
        List<String> unmatched = u.getUnmatched();
        if (u.isUnknownOption() || unmatched.isEmpty()) {
            return ex.getMessage();
        }
        CommandLine where = ex.getCommandLine();
        String arg = unmatched.get(0);
        if (where.getParent() == null) {
            List<String> near = u.getSuggestions();
            return "'" + arg + "' is not a command" + (near.isEmpty() ? "" : " (did you mean " + near.get(0) + "?)")
                    + "; the commands are " + String.join(", ", where.getSubcommands().keySet());
        }
        List<String> params = new ArrayList<>();
        for (PositionalParamSpec p : where.getCommandSpec().positionalParameters()) {
            params.add(p.paramLabel());
        }
        return "unexpected argument '" + arg + "': " + qualifiedName(where) + " takes "
                + (params.isEmpty() ? "only options" : String.join(" and ", params) + " and options");
    }

    /** The {@link CliException} behind a failure, when one is: a thread of the player may have wrapped it. */
    private static CliException userFailure(Throwable ex) {
        for (Throwable t = ex; t != null; t = t.getCause()) {
            if (t instanceof CliException) {
                return (CliException) t;
            }
        }
        return null;
    }

    /** Loads the engine, or says why it cannot be. */
    static NativeInterface openEngine() {
        try {
            return new NativeInterface();
        } catch (LinkageError e) {
            throw CliException.engineNotLoaded(e);
        }
    }

    static final class Version implements CommandLine.IVersionProvider {
        @Override
        public String[] getVersion() {
            String v = Tambrino.class.getPackage().getImplementationVersion();
            String engine;
            try {
                new NativeInterface();
                String origin = NativeInterface.libraryOrigin();
                engine = "engine: " + origin.substring(origin.lastIndexOf('/') + 1) + " from " + origin;
            } catch (LinkageError e) {
                engine = "engine: libtambrino.so cannot be loaded (" + e.getMessage() + ")";
            }
            return new String[] {"tambrino " + (v == null ? "(development build)" : v), engine,
                "Java " + System.getProperty("java.version") + " (" + System.getProperty("java.vm.name") + ")"};
        }
    }

    /** The command's name after those of its parents, as typed. */
    private static String qualifiedName(CommandLine command) {
        String name = command.getCommandName();
        for (CommandLine parent = command.getParent(); parent != null; parent = parent.getParent()) {
            name = parent.getCommandName() + " " + name;
        }
        return name;
    }
}
