#include "supervisors/save_wait.hpp"

#include <algorithm>
#include <filesystem>

SaveWait::SaveWait(std::chrono::milliseconds bound, Expire expire)
    : bound_(bound), expire_(std::move(expire)), timer_([this] { run(); }) {}

SaveWait::~SaveWait() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    timer_.join();
}

void SaveWait::park(FileEvent event, std::string mirror, std::string disk_sha256) {
    {
        std::lock_guard lock(mutex_);
        parked_.push_back({std::chrono::steady_clock::now() + bound_, std::move(event),
                           std::move(mirror), std::move(disk_sha256)});
    }
    cv_.notify_all();
}

std::vector<FileEvent> SaveWait::take(std::string const& path,
                                      std::vector<std::string>* disk_sha256s) {
    std::vector<FileEvent> taken;
    std::lock_guard lock(mutex_);
    for (auto it = parked_.begin(); it != parked_.end();) {
        if (std::filesystem::path(it->event.filepath) == std::filesystem::path(path)) {
            taken.push_back(std::move(it->event));
            if (disk_sha256s != nullptr) {
                disk_sha256s->push_back(std::move(it->disk_sha256));
            }
            it = parked_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void SaveWait::rebase(std::string const& path, std::string const& mirror) {
    std::filesystem::path const file(path);
    std::lock_guard lock(mutex_);
    for (Parked& parked : parked_) {
        if (std::filesystem::path(parked.event.filepath) == file) {
            parked.mirror = mirror;
        }
    }
    for (Parked& done : expired_) {
        if (std::filesystem::path(done.event.filepath) == file) {
            done.mirror = mirror;
        }
    }
}

std::vector<FileEvent> SaveWait::parked() {
    std::lock_guard lock(mutex_);
    std::vector<FileEvent> events;
    for (Parked const& parked : parked_) {
        events.push_back(parked.event);
    }
    return events;
}

bool SaveWait::same(FileEvent const& a, FileEvent const& b) {
    return a.timestamp == b.timestamp && a.filepath == b.filepath && a.wid == b.wid &&
           a.action == b.action;
}

std::optional<std::string> SaveWait::expired(FileEvent const& event) {
    std::lock_guard lock(mutex_);
    auto const found = std::find_if(expired_.begin(), expired_.end(),
                                    [&](Parked const& done) { return same(done.event, event); });
    if (found == expired_.end()) {
        return std::nullopt;
    }
    std::string mirror = std::move(found->mirror);
    expired_.erase(found);
    return mirror;
}

void SaveWait::expire_all() {
    std::vector<FileEvent> due;
    {
        std::lock_guard lock(mutex_);
        for (Parked& parked : parked_) {
            due.push_back(parked.event);
            expired_.push_back(std::move(parked));
        }
        parked_.clear();
    }
    for (FileEvent const& event : due) {
        expire_(event);
    }
}

void SaveWait::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (parked_.empty()) {
            cv_.wait(lock);
            continue;
        }
        auto const deadline = parked_.front().deadline;
        if (std::chrono::steady_clock::now() < deadline) {
            cv_.wait_until(lock, deadline);
            continue;
        }
        FileEvent event = parked_.front().event;
        expired_.push_back(std::move(parked_.front()));
        parked_.pop_front();
        lock.unlock();
        // Unlocked: the bus may wait for room, while its worker asks `expired`.
        expire_(event);
        lock.lock();
    }
}
