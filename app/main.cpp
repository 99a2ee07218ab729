#include "app/log.hpp"
#include "app/signal_stop.hpp"
#include "app/startup_error.hpp"
#include "app/wardlet.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        log_line("[Wardlet]::client correct usage: {} [proj_dir]", argc > 0 ? argv[0] : "wardlet");
        return -1;
    }
    try {
        Wardlet wardlet(std::filesystem::path(argv[1]), false);
        SignalStop signals([&wardlet] { wardlet.stop(); }, [&wardlet] { wardlet.hurry(); });
        log_line("[OnlineSupervisor] starting...");
        wardlet.start();
        return wardlet.finish();
    } catch (StartupError const&) {
        return 1;
    }
}
