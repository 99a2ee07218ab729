#pragma once

#include <functional>
#include <thread>

// Turns the first SIGINT, SIGTERM or SIGHUP into a call of `on_stop` on an ordinary thread, and a
// second one into a call of `on_hurry` (a stop that must not wait any longer); a third signal ends
// the process at once. The signal handler itself only writes to a pipe.
class SignalStop {
public:
    explicit SignalStop(std::function<void()> on_stop, std::function<void()> on_hurry = {});
    SignalStop(SignalStop const&) = delete;
    SignalStop& operator=(SignalStop const&) = delete;
    ~SignalStop();

private:
    void wait_for_signal();

    std::function<void()> on_stop_;
    std::function<void()> on_hurry_;
    int pipe_[2]{-1, -1};
    std::thread waiter_;
};
