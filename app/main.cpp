#include "app/log.hpp"
#include "app/signal_stop.hpp"
#include "app/startup_error.hpp"
#include "app/wardlet.hpp"
#include "editor/vscode_listener.hpp"

#include <csignal>
#include <optional>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    // A log reader that goes away, or an editor that hangs up, must not end the monitor.
    ::signal(SIGPIPE, SIG_IGN);
    char const* const program = argc > 0 ? argv[0] : "wardlet";
    std::optional<std::string> project;
    std::string socket_path = EDITOR_SOCKET_PATH;
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (arg == "--socket" && index + 1 < argc) {
            socket_path = argv[++index];
        } else if (arg.starts_with("--socket=")) {
            socket_path = arg.substr(9);
        } else if (!project) {
            project = std::string(arg);
        }
    }
    if (!project || socket_path.empty()) {
        log_line("[Wardlet]::client correct usage: {} [proj_dir]", program);
        return -1;
    }
    try {
        Wardlet wardlet(std::filesystem::path(*project), false, socket_path);
        SignalStop signals([&wardlet] { wardlet.stop(); });
        log_line("[OnlineSupervisor] starting...");
        wardlet.start();
    } catch (StartupError const&) {
        return 1;
    }
    return 0;
}
