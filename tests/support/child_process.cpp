#include "support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

ChildProcess::ChildProcess(std::vector<std::string> argv, Options options) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string const text = *entry;
        auto const name = text.substr(0, text.find('='));
        if (options.env.count(name) == 0) {
            environment.push_back(text);
        }
    }
    for (auto const& [name, value] : options.env) {
        if (value) {
            environment.push_back(name + "=" + *value);
        }
    }
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        int const devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        if (options.cwd && chdir(options.cwd->c_str()) != 0) {
            _exit(126);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { read_output(fd); });
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void ChildProcess::read_output(int fd) {
    char chunk[4096];
    while (true) {
        ssize_t const count = read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        std::lock_guard lock(mutex_);
        output_.append(chunk, static_cast<std::size_t>(count));
        output_cv_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    output_closed_ = true;
    output_cv_.notify_all();
}

bool ChildProcess::wait_for_output(std::string const& needle, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return output_cv_.wait_for(lock, bound, [&] {
        return output_.find(needle) != std::string::npos || output_closed_;
    }) && output_.find(needle) != std::string::npos;
}

std::size_t ChildProcess::count_output(std::string const& needle) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (auto at = output_.find(needle); at != std::string::npos;
         at = output_.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

void ChildProcess::send_signal(int signal_number) {
    kill(pid_, signal_number);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds bound) {
    if (status_) {
        return status_;
    }
    auto const deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
        int raw = 0;
        pid_t const done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        // waitpid has no timed form; poll the child's state at a short interval.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The output is complete once the child has gone and the pipe is closed.
    std::unique_lock lock(mutex_);
    output_cv_.wait_for(lock, std::chrono::seconds(5), [this] { return output_closed_; });
    return status_;
}

ProcessResult run_process(std::vector<std::string> argv, ChildProcess::Options options,
                          std::chrono::milliseconds bound) {
    ChildProcess child(std::move(argv), std::move(options));
    auto const status = child.wait(bound);
    return {status.value_or(-1), child.output()};
}
