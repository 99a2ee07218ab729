#pragma once

#include "app/wardlet.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

// Standard output, where the monitor logs, goes to a file while it lives.
class LogToFile {
public:
    explicit LogToFile(std::filesystem::path const& path) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    LogToFile(LogToFile const&) = delete;
    LogToFile& operator=(LogToFile const&) = delete;
    ~LogToFile() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

// The monitor as the application object assembles it, on `project` with `home` as HOME, the accept
// loop on a thread of its own; stopped and torn down as the program does when this goes.
class RunningMonitor {
public:
    RunningMonitor(std::filesystem::path const& project, std::filesystem::path const& home,
                   WardletSettings settings) {
        ::setenv("HOME", home.c_str(), 1);
        wardlet_.emplace(project, false, std::move(settings));
        loop_ = std::thread([this] { wardlet_->start(); });
    }
    RunningMonitor(RunningMonitor const&) = delete;
    RunningMonitor& operator=(RunningMonitor const&) = delete;
    ~RunningMonitor() {
        wardlet_->stop();
        loop_.join();
        wardlet_->finish();
    }

private:
    std::optional<Wardlet> wardlet_;
    std::thread loop_;
};
