#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// A program started as a child process with its standard output and error captured together.
// The destructor kills a child that is still running.
class ChildProcess {
public:
    struct Options {
        // Variables to set (or, with std::nullopt, to remove) in the child's environment.
        std::map<std::string, std::optional<std::string>> env;
        std::optional<std::filesystem::path> cwd;
    };

    explicit ChildProcess(std::vector<std::string> argv, Options options = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string const text = *entry;
            if (options.env.count(text.substr(0, text.find('='))) == 0) {
                environment.push_back(text);
            }
        }
        for (auto const& [name, value] : options.env) {
            if (value) {
                environment.push_back(name + "=" + *value);
            }
        }
        auto const pointers = [](std::vector<std::string>& texts) {
            std::vector<char*> out(texts.size() + 1, nullptr);
            std::transform(texts.begin(), texts.end(), out.begin(),
                           [](auto& t) { return t.data(); });
            return out;
        };
        auto args = pointers(argv), envp = pointers(environment);
        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");  // never kill(-1) in the destructor
        }
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            if (options.cwd && chdir(options.cwd->c_str()) != 0) {
                _exit(126);
            }
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char chunk[4096];
            ssize_t count;
            while ((count = read(fd, chunk, sizeof chunk)) > 0 || (count < 0 && errno == EINTR)) {
                std::lock_guard lock(mutex_);
                output_.append(chunk, static_cast<std::size_t>(count < 0 ? 0 : count));
                output_cv_.notify_all();
            }
            close(fd);
            std::lock_guard lock(mutex_);
            output_closed_ = true;
            output_cv_.notify_all();
        });
    }
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;
    ~ChildProcess() {
        if (!status_) {
            kill(pid_, SIGKILL);
            wait(std::chrono::seconds(10));
        }
        reader_.join();
    }

    // True once `needle` has appeared in the output; false when `bound` passes first.
    bool wait_for_output(std::string const& needle, std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        output_cv_.wait_for(lock, bound, [&] {
            return output_.find(needle) != std::string::npos || output_closed_;
        });
        return output_.find(needle) != std::string::npos;
    }
    std::string output() const {
        std::lock_guard lock(mutex_);
        return output_;
    }

    pid_t pid() const { return pid_; }
    void send_signal(int signal_number) { kill(pid_, signal_number); }
    // The exit status (128 + signal for a killed child), or nothing when `bound` passes first.
    std::optional<int> wait(std::chrono::milliseconds bound) {
        auto const deadline = std::chrono::steady_clock::now() + bound;
        while (!status_) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            } else {
                // waitpid has no timed form; poll the child's state at a short interval.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        // The output is complete once the child has gone and the pipe is closed.
        std::unique_lock lock(mutex_);
        output_cv_.wait_for(lock, std::chrono::seconds(5), [this] { return output_closed_; });
        return status_;
    }

private:
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
inline ProcessResult run_process(std::vector<std::string> argv, ChildProcess::Options options = {},
                                 std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    ChildProcess child(std::move(argv), std::move(options));
    auto const status = child.wait(bound);
    return {status.value_or(-1), child.output()};
}

// The path of an installed program in the system's usual folders, or nothing.
inline std::optional<std::filesystem::path> find_program(std::string const& name) {
    for (std::string const dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        if (::access((std::filesystem::path(dir) / name).c_str(), X_OK) == 0) {
            return std::filesystem::path(dir) / name;
        }
    }
    return std::nullopt;
}
