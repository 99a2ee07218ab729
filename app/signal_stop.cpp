#include "app/signal_stop.hpp"

#include "app/log.hpp"
#include "app/startup_error.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // A closed terminal stops the monitor as an interrupt does, not without storing.
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void SignalStop::block_stop_signals() {
    sigset_t const set = stop_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalStop::SignalStop() {
    block_stop_signals();
    sigset_t const set = stop_signals();
    signals_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signals_fd_ < 0 || ::pipe2(quit_pipe_, O_CLOEXEC) != 0) {
        log_line("[Wardlet] error: cannot wait for signals: {}", std::strerror(errno));
        throw StartupError("signal descriptor");
    }
    waiter_ = std::thread([this] { wait_for_signals(); });
}

SignalStop::~SignalStop() {
    end();
    ::close(signals_fd_);
    ::close(quit_pipe_[0]);
    ::close(quit_pipe_[1]);
}

void SignalStop::end() {
    if (waiter_.joinable()) {
        char const quit = 0;
        [[maybe_unused]] auto const written = ::write(quit_pipe_[1], &quit, 1);
        waiter_.join();
    }
}

void SignalStop::arm(std::function<void()> on_stop, std::function<void()> on_hurry) {
    std::lock_guard lock(mutex_);
    on_stop_ = std::move(on_stop);
    on_hurry_ = std::move(on_hurry);
}

void SignalStop::wait_for_signals() {
    int received = 0;
    while (true) {
        pollfd waits[2] = {{signals_fd_, POLLIN, 0}, {quit_pipe_[0], POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        if (::read(signals_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            continue;
        }
        int const signal_number = static_cast<int>(info.ssi_signo);
        std::function<void()> on_stop;
        std::function<void()> on_hurry;
        {
            std::lock_guard lock(mutex_);
            on_stop = on_stop_;
            on_hurry = on_hurry_;
        }
        ++received;
        if (!on_stop || received > 2) {
            _exit(128 + signal_number);
        }
        if (received == 1) {
            // Stopped first: the monitor stops even when its log cannot be written.
            on_stop();
            log_line("[Wardlet] received signal {}, stopping...", signal_number);
        } else if (on_hurry) {
            on_hurry();
        }
    }
}
