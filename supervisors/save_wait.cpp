#include "supervisors/save_wait.hpp"

#include <algorithm>

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

void SaveWait::park(FileEvent event) {
    {
        std::lock_guard lock(mutex_);
        parked_.push_back({std::chrono::steady_clock::now() + bound_, std::move(event)});
    }
    cv_.notify_all();
}

std::vector<FileEvent> SaveWait::take(std::string const& path) {
    std::vector<FileEvent> taken;
    std::lock_guard lock(mutex_);
    for (auto it = parked_.begin(); it != parked_.end();) {
        if (it->event.filepath == path) {
            taken.push_back(std::move(it->event));
            it = parked_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

bool SaveWait::same(FileEvent const& a, FileEvent const& b) {
    return a.timestamp == b.timestamp && a.filepath == b.filepath && a.wid == b.wid &&
           a.action == b.action;
}

bool SaveWait::expired(FileEvent const& event) {
    std::lock_guard lock(mutex_);
    auto const found = std::find_if(expired_.begin(), expired_.end(),
                                    [&](FileEvent const& done) { return same(done, event); });
    if (found == expired_.end()) {
        return false;
    }
    expired_.erase(found);
    return true;
}

void SaveWait::expire_all() {
    std::vector<FileEvent> due;
    {
        std::lock_guard lock(mutex_);
        for (Parked& parked : parked_) {
            expired_.push_back(parked.event);
            due.push_back(std::move(parked.event));
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
        FileEvent event = std::move(parked_.front().event);
        parked_.pop_front();
        expired_.push_back(event);
        lock.unlock();
        // Unlocked: the bus may wait for room, while its worker asks `expired`.
        expire_(event);
        lock.lock();
    }
}
