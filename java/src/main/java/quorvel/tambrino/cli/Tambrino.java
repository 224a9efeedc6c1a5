package quorvel.tambrino.cli;

import java.io.PrintWriter;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.ParameterException;
import quorvel.tambrino.NativeInterface;

/**
 * The {@code tambrino} command: changes the tempo of music without changing
 * its pitch, through the engine.
 *
 * <p>Exit codes: 0 success; 1 a file cannot be read or written or its format
 * is not supported; 2 an invalid option or argument; 3 no audio output to
 * play through; 4 the engine could not be loaded or refused a call.
 */
@Command(name = "tambrino", mixinStandardHelpOptions = true, versionProvider = Tambrino.Version.class,
        description = "Changes the tempo of music without changing its pitch.",
        subcommands = {StretchCommand.class, PlayCommand.class, DemoCommand.class, CommandLine.HelpCommand.class},
        footer = {"", "Exit codes: 0 done, 1 file problem, 2 invalid option, 3 no audio output, 4 engine failure."})
public final class Tambrino implements Runnable {
    /** The command line that runs this command, for its usage errors. */
    private CommandLine commandLine;

    @Override
    public void run() {
        throw new ParameterException(commandLine, "a command is missing: choose stretch, play or demo");
    }

    public static void main(String[] args) {
        System.exit(execute(args));
    }

    /** Runs the command line and returns its exit code. */
    static int execute(String... args) {
        Tambrino top = new Tambrino();
        CommandLine cl = new CommandLine(top);
        top.commandLine = cl;
        cl.setParameterExceptionHandler((ex, a) -> {
            PrintWriter err = ex.getCommandLine().getErr();
            err.println("tambrino: " + ex.getMessage());
            err.println("Try '" + qualifiedName(ex.getCommandLine()) + " --help' for the options.");
            err.flush();
            return CliException.EXIT_USAGE;
        });
        cl.setExecutionExceptionHandler((ex, commandLine, parseResult) -> {
            PrintWriter err = commandLine.getErr();
            int code;
            if (ex instanceof CliException) {
                err.println("tambrino: " + ex.getMessage());
                code = ((CliException) ex).exitCode;
            } else {
                err.println("tambrino: the engine failed: " + ex);
                code = CliException.EXIT_ENGINE;
            }
            err.flush();
            return code;
        });
        return cl.execute(args);
    }

    /** Loads the engine, or says why it cannot be. */
    static NativeInterface openEngine() {
        try {
            return new NativeInterface();
        } catch (LinkageError e) {
            throw engineNotLoaded(e);
        }
    }

    static CliException engineNotLoaded(LinkageError e) {
        return new CliException(CliException.EXIT_ENGINE, "the engine library libtambrino.so could not be loaded ("
                + e.getMessage() + "); rebuild the jar, or name the library with -D"
                + NativeInterface.LIBRARY_PROPERTY + "=/path/to/libtambrino.so", e);
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
