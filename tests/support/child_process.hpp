#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// A program started as a child process with its standard output and error captured together.
// The destructor kills a child that is still running.
class ChildProcess {
public:
    struct Options {
        // Variables to set (or, with std::nullopt, to remove) in the child's environment.
        std::map<std::string, std::optional<std::string>> env;
        std::optional<std::filesystem::path> cwd;
    };

    explicit ChildProcess(std::vector<std::string> argv, Options options = {});
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;
    ~ChildProcess();

    // True once `needle` has appeared in the output; false when `bound` passes first.
    bool wait_for_output(std::string const& needle, std::chrono::milliseconds bound);
    // Number of times `needle` occurs in the output so far.
    std::size_t count_output(std::string const& needle) const;
    std::string output() const;

    void send_signal(int signal_number);
    // The exit status (128 + signal for a killed child), or nothing when `bound` passes first.
    std::optional<int> wait(std::chrono::milliseconds bound);
    pid_t pid() const { return pid_; }

private:
    void read_output(int fd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    std::condition_variable output_cv_;
    std::string output_;
    bool output_closed_ = false;
    std::thread reader_;
};

// Runs a program to completion (killed after `bound`) and returns its status and output.
struct ProcessResult {
    int status;
    std::string output;
};
ProcessResult run_process(std::vector<std::string> argv, ChildProcess::Options options = {},
                          std::chrono::milliseconds bound = std::chrono::seconds(30));
