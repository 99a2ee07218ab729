#include "app/signal_stop.hpp"

#include "app/log.hpp"
#include "app/startup_error.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<int> signal_pipe_write{-1};
std::atomic<int> signals_received{0};
constexpr char kQuit = 0;

extern "C" void on_signal(int signal_number) {
    if (signals_received.fetch_add(1) > 1) {
        _exit(128 + signal_number);
    }
    char const code = static_cast<char>(signal_number);
    int const saved_errno = errno;
    [[maybe_unused]] auto const written = ::write(signal_pipe_write.load(), &code, 1);
    errno = saved_errno;
}

}  // namespace

SignalStop::SignalStop(std::function<void()> on_stop, std::function<void()> on_hurry)
    : on_stop_(std::move(on_stop)), on_hurry_(std::move(on_hurry)) {
    if (::pipe2(pipe_, O_CLOEXEC) != 0) {
        log_line("[Wardlet] error: cannot create the signal pipe: {}", std::strerror(errno));
        throw StartupError("signal pipe");
    }
    signal_pipe_write = pipe_[1];
    waiter_ = std::thread([this] { wait_for_signal(); });
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal stops the monitor as an interrupt does, not without storing.
    sigaction(SIGHUP, &action, nullptr);
}

SignalStop::~SignalStop() {
    char const quit = kQuit;
    [[maybe_unused]] auto const written = ::write(pipe_[1], &quit, 1);
    waiter_.join();
    // The pipe stays open: a signal during the teardown still finds it (a second one ends the
    // process), and a write to a pipe without reader would raise SIGPIPE.
}

void SignalStop::wait_for_signal() {
    char code = kQuit;
    bool stop_asked = false;
    while (true) {
        ssize_t const count = ::read(pipe_[0], &code, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || code == kQuit) {
            return;
        }
        if (!stop_asked) {
            stop_asked = true;
            // Stopped first: the monitor stops even when its log cannot be written.
            on_stop_();
            log_line("[Wardlet] received signal {}, stopping...", static_cast<int>(code));
        } else if (on_hurry_) {
            on_hurry_();
        }
    }
}
