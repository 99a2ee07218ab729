#pragma once

#include "files/dir_watcher.hpp"
#include "supervisors/supervisor.hpp"

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

// The file-system monitor. It keeps a registry of watched paths, each with the handler for the
// changes it covers; the directory watcher reports changes on its own thread, which become file
// events on the bus, and the bus worker hands each back to `handle`, which runs the handler of
// the one entry that covers the event's path.
//
// The registry is locked: the main thread registers watches while the bus worker may already be
// looking entries up for changes reported before `start`. Handlers run with no lock held, so a
// handler may call `watch`, `unwatch` or `is_tracked` on this listener, even for its own entry.
class FileListener : public ISupervisor, private DirWatchListener {
public:
    struct handler_data {
        // Also covers every path below the key and every path above it; false covers the key only.
        bool recursive = false;
        // The watch that reports this entry's changes (for a file, its directory's watch), as
        // the watcher returned it, error codes included.
        WatchId wid = 0;
        std::function<void(FileEvent&)> handler;
    };
    using Entry = std::pair<std::filesystem::path, handler_data>;

    FileListener(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env);
    ~FileListener() override;

    void start() override;
    void stop() override;
    void handle(Event event) override;

    // Watches a directory unless an entry already covers it; then the covering entry's watch id
    // is returned and `handler` is dropped.
    WatchId watch(std::filesystem::path const& path, bool recursive,
                  std::function<void(FileEvent&)> handler);
    // Watches a directory (recursively) or a single file (through its directory), creating it
    // first when it is missing. An existing file is never truncated.
    WatchId watch(std::filesystem::path const& path, std::function<void(FileEvent&)> handler,
                  bool is_dir);
    // Drops the first entry, in registry order, whose key text begins with the text of `path`.
    void unwatch(std::filesystem::path const& path);
    // Whether some entry's key text begins with the text of `path`.
    bool is_tracked(std::filesystem::path const& path);
    // A copy of the first entry, in registry order, that covers `path`: its key equals `path`,
    // or it is recursive and one of the two lies below the other.
    std::optional<Entry> find_if_already_watched(std::filesystem::path const& path);

    // How many levels `b` lies below `a` (negative: `a` below `b`); no value when neither lies
    // below the other. Only paths whose texts are prefixes of each other are related.
    static std::optional<int> get_contained_depth(std::filesystem::path const& a,
                                                  std::filesystem::path const& b);
    // Text-prefix relations on the paths' native texts: /p/src contains /p/src2.
    static bool path_contains(std::filesystem::path const& a, std::filesystem::path const& b);
    static bool path_contains_or_contained(std::filesystem::path const& a,
                                           std::filesystem::path const& b);
    static bool parent_path_of(std::filesystem::path const& a, std::filesystem::path const& b);
    static bool child_path_of(std::filesystem::path const& a, std::filesystem::path const& b);

private:
    using Registry = std::unordered_map<std::filesystem::path, handler_data>;

    // Called by the watcher on its thread: builds the file event and publishes it.
    void handleFileAction(WatchId watchid, std::string const& dir, std::string const& filename,
                          FileAction action, std::string old_filename) override;

    // The operations below expect mutex_ held.
    Registry::iterator find_covering(std::filesystem::path const& path);
    WatchId watch_directory(std::filesystem::path const& path, bool recursive,
                            std::function<void(FileEvent&)> handler);

    std::mutex mutex_;
    DirWatcher watcher_;
    Registry handlers_;
};
