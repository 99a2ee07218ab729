#pragma once

#include "events/records.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Disk changes of documents the editor holds, waiting for the editor's save to explain them.
// The bus's delivery parks an event and later takes the events of a saved file back; an event still
// parked at its deadline is handed to `expire` on this class's own thread (which publishes it
// again, to be judged without waiting), and is from then on recognised by `expired`.
class SaveWait {
public:
    using Expire = std::function<void(FileEvent const&)>;

    SaveWait(std::chrono::milliseconds bound, Expire expire);
    SaveWait(SaveWait const&) = delete;
    SaveWait& operator=(SaveWait const&) = delete;
    // Parked events are dropped unexpired; call expire_all first to keep them.
    ~SaveWait();

    // `mirror` is the mirror's content when the event was judged: a change that no save explains
    // is judged against it, since the editor may reload the file from disk meanwhile.
    // `disk_sha256`, when given, is the SHA-256 of the disk's bytes the judgement read.
    void park(FileEvent event, std::string mirror, std::string disk_sha256 = {});
    // The parked events of `path`, in the order parked; they are no longer parked. With
    // `disk_sha256s`, the hash each was parked with, in the same order.
    std::vector<FileEvent> take(std::string const& path,
                                std::vector<std::string>* disk_sha256s = nullptr);
    // The mirror of `path` was reset to `mirror` by a judgement: every event of `path` parked or
    // expired and not yet judged is judged against it from now on, so one change of the disk
    // reported twice counts once.
    void rebase(std::string const& path, std::string const& mirror);
    // The events parked now, in the order parked; they stay parked.
    std::vector<FileEvent> parked();
    // For an expired event handed back, the mirror it was parked with; a value once per expiry.
    std::optional<std::string> expired(FileEvent const& event);
    // Expires every parked event now, on the calling thread.
    void expire_all();

private:
    struct Parked {
        std::chrono::steady_clock::time_point deadline;
        FileEvent event;
        std::string mirror;
        std::string disk_sha256;
    };
    void run();
    static bool same(FileEvent const& a, FileEvent const& b);

    // Threads: park, take and expired run where the bus delivers, one at a time; expire_all on the
    // owning thread at teardown; run on the timer thread. `expire_` is called with no lock held,
    // since the bus it publishes to may wait for room while its worker asks `expired`.
    std::chrono::milliseconds bound_;
    Expire expire_;
    // State below is protected by mutex_.
    std::mutex mutex_;
    std::condition_variable cv_;
    std::list<Parked> parked_;  // in deadline order: every event waits the same bound
    std::vector<Parked> expired_;
    bool stopping_ = false;
    std::thread timer_;
};
