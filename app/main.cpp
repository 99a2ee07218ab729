#include "app/log.hpp"
#include "app/signal_stop.hpp"
#include "app/startup_error.hpp"
#include "app/wardlet.hpp"

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr char const* HELP =
    "usage: wardlet [options] <proj_dir>\n"
    "\n"
    "Watches one project until stopped with Ctrl+C or kill (SIGINT, SIGTERM or SIGHUP): change\n"
    "messages from the editor extension on the socket /tmp/wardlet.sock and the tracked files on\n"
    "disk, mirrored in memory; internal copies and fast insertions are flagged, and every change\n"
    "is a row of <proj_dir>/.wardlet/wardlet.sqlite3. The log goes to standard output.\n"
    "\n"
    "<proj_dir> must be prepared first: wardlet-track <proj_dir> --pattern '*.c' (or with its\n"
    "files) creates .wardlet, the database and the file map.\n"
    "\n"
    "Options:\n"
    "  -h, --help       print this help and exit\n"
    "  --socket PATH    serve the editor socket PATH instead of /tmp/wardlet.sock (shared\n"
    "                   machines; the editor's wardlet.socketPath setting names the same)\n"
    "Arguments after <proj_dir> are ignored.\n"
    "\n"
    "Exit status: 0 stopped by a signal, 1 cannot start, 2 bad usage, 3 stopped but some received\n"
    "rows could not be written to the database (they are in a .wardlet/unwritten-*.jsonl file or\n"
    "on standard error; the next start imports such files).\n";

// A word as the shell takes it back: quoted unless it holds only safe characters.
std::string shell_word(std::string const& word) {
    bool const safe = !word.empty() && word.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyz"
                                           "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789/._-+:@%,=") == std::string::npos;
    if (safe) {
        return word;
    }
    std::string quoted = "'";
    for (char const c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The usage line, as printed for a missing project directory.
void print_usage(char const* program) {
    log_line("[Wardlet]::client correct usage: {} [proj_dir]", program);
}

struct Options {
    bool help = false;
    std::optional<std::string> socket;
    std::optional<std::string> proj_dir;
    std::string error;  // bad usage: what was wrong
};

// Options may come before or after the project directory; "--" ends them. Words beginning with
// "--" that are no option are refused; plain words after the project directory are ignored.
Options parse_options(int argc, char** argv) {
    Options options;
    bool options_done = false;
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (!options_done && (arg == "--help" || arg == "-h")) {
            options.help = true;
        } else if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && (arg == "--socket" || arg.starts_with("--socket="))) {
            if (arg == "--socket" && index + 1 >= argc) {
                options.error = "--socket needs a path";
                return options;
            }
            options.socket = arg == "--socket" ? argv[++index] : arg.substr(arg.find('=') + 1);
        } else if (!options_done && arg.starts_with("--")) {
            options.error = "unknown option " + std::string(arg);
            return options;
        } else if (!options.proj_dir) {
            options.proj_dir = std::string(arg);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts: stop signals are read by one thread, never handled in another.
    SignalStop::block_stop_signals();
    // A log reader that goes away, or an editor that hangs up, must not end the monitor.
    ::signal(SIGPIPE, SIG_IGN);
    char const* const program = argc > 0 ? argv[0] : "wardlet";
    Options const options = parse_options(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "wardlet: %s\n", options.error.c_str());
        print_usage(program);
        return 2;
    }
    if (options.help) {
        std::fputs(HELP, stdout);
        return 0;
    }
    if (!options.proj_dir || (options.socket && options.socket->empty())) {
        print_usage(program);
        return -1;
    }
    std::filesystem::path const proj_dir(*options.proj_dir);
    try {
        WardletSettings settings;
        if (options.socket) {
            settings.socket_path = *options.socket;
        }
        SignalStop signals;
        Wardlet wardlet(proj_dir, false, std::move(settings));
        signals.arm([&wardlet] { wardlet.stop(); }, [&wardlet] { wardlet.hurry(); });
        // Whichever way this scope ends, the waiter ends before the monitor it stops goes.
        struct EndWaiter {
            SignalStop& signals;
            ~EndWaiter() { signals.end(); }
        } const end_waiter{signals};
        wardlet.start();
        return wardlet.finish();
    } catch (StartupError const&) {
        std::error_code error;
        if (!std::filesystem::is_directory(proj_dir / ".wardlet", error)) {
            log_line(
                "[Wardlet] to prepare the project: wardlet-track {} --pattern '*.py' (globs "
                "of its source files, or the files themselves)",
                shell_word(proj_dir.native()));
        }
        return 1;
    }
}
