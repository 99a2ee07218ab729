#pragma once

#include <functional>
#include <mutex>
#include <thread>

// Once armed, turns the first SIGINT, SIGTERM or SIGHUP into a call of `on_stop` on a thread of
// its own, and a second one into a call of `on_hurry` (a stop that must not wait any longer); a
// third signal ends the process at once. Before it is armed (while the monitor starts), a signal
// ends the process at once, as the signal itself would. Ending at once is `_exit` with status
// 128 + the signal's number.
//
// The signals are never handled asynchronously: `block_stop_signals` blocks them in the calling
// thread, and every thread started afterwards inherits that, so the kernel keeps them pending
// until the waiter's thread reads them from a signal descriptor. Call it first thing in `main`,
// before any thread starts, then make the SignalStop.
//
// Threads: the waiter's thread reads the signals and calls the callbacks; `arm` comes from the
// owning thread. The callbacks below are protected by mutex_, which is not held while they run.
class SignalStop {
public:
    static void block_stop_signals();

    SignalStop();
    SignalStop(SignalStop const&) = delete;
    SignalStop& operator=(SignalStop const&) = delete;
    ~SignalStop();

    void arm(std::function<void()> on_stop, std::function<void()> on_hurry);
    // Ends the waiter, once: signals that come later stay pending, as the process is ending. Call
    // it before anything the callbacks use goes.
    void end();

private:
    void wait_for_signals();

    std::mutex mutex_;
    std::function<void()> on_stop_;
    std::function<void()> on_hurry_;
    int signals_fd_ = -1;
    int quit_pipe_[2]{-1, -1};
    std::thread waiter_;  // last: it reads the members above until it ends
};
