#pragma once

#include "files/dir_watcher.hpp"
#include "supervisors/supervisor.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The file-system monitor. It keeps a registry of watched paths, each with the handler for the
// changes it covers; the directory watcher reports changes on its own thread, which become file
// events on the bus, and the bus worker hands each back to `handle`, which runs the handler of
// the one entry that covers the event's path.
//
// The registry is locked: the main thread registers watches while the bus worker may already be
// looking entries up for changes reported before `start`. Handlers run with no lock held, so a
// handler may call the watch forms, `unwatch` or `has_entry_with_prefix` on this listener, even
// for its own entry.
//
// Threads: the registry's members (the watch forms, watch_again, report, unwatch,
// has_entry_with_prefix, find_if_already_watched) are called by the main thread while the monitor
// is assembled, then by the bus's deliveries (handlers) and by the project follower's thread.
// `handle` runs on the bus worker (file events are always queued);
// the watcher's thread calls handleFileAction, which takes no lock of this class and only
// publishes. set_aside is called on the main thread before the watch it names reports anything.
//
// The registry is ordered by path text, and its recursive entries (a handful: the editor's
// folders) are listed apart, so that finding the entry that covers a path costs a search of the
// ordered keys and a pass over the recursive entries, whatever the number of tracked files.
// When several entries cover a path, the one whose key equals it wins, then the recursive entries
// in the order they were registered. A file renamed to a path that no entry covers goes to the
// entry that covers the old path.
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

    // Both forms watch `path` with `handler` unless an entry already covers it; then the covering
    // entry's watch id is returned and `handler` is dropped.
    //
    // Watches a directory as it is, recursively or not; a missing one is a failed watch (the
    // watcher's negative id is kept in the entry).
    WatchId watch_existing(std::filesystem::path const& path,
                           std::function<void(FileEvent&)> handler, bool recursive);
    // Watches a directory (recursively) or a single file (through its directory), creating it
    // first when it is missing: a directory when `is_dir`, else an empty file. An existing file is
    // never truncated.
    WatchId watch_creating(std::filesystem::path const& path,
                           std::function<void(FileEvent&)> handler, bool is_dir);
    // Watches a single file of the project through its directory, as watch_creating does, but
    // never creates it: a file the follower saw appear or move may be gone again (renamed on,
    // deleted), and the monitor must not put an empty file in its place. Its directory's watch
    // reports it when it comes back.
    WatchId watch_file(std::filesystem::path const& path, std::function<void(FileEvent&)> handler);
    // Changes that `wid` reports in `directory` for any name but `kept` are set aside as they are
    // reported, before any registry search and without an event. For the monitor's own data
    // directory, where only the file map's changes matter and the database and log write often:
    // their writes do not even wake the watcher (see DirWatcher::quiet_open_writes).
    void set_aside(WatchId wid, std::filesystem::path const& directory, std::string kept);
    // For `path`, a file watched through its directory: when that directory's watch has ended
    // (the directory was deleted or moved away, as a checkout does) and the directory is there
    // again, watches it again for every file entry it served and returns true: what was written
    // there meanwhile was not reported. False, changing nothing, otherwise.
    bool watch_again(std::filesystem::path const& path);
    // Reports `action` on `path` as the watcher would have: a file event on the bus, handled by
    // the entry covering `path`.
    void report(std::filesystem::path const& path, FileAction action);
    // Drops the first entry, in the order of key texts, whose key text begins with the text of
    // `path`.
    void unwatch(std::filesystem::path const& path);
    // Whether some entry's key text begins with the text of `path` (a plain text prefix).
    bool has_entry_with_prefix(std::filesystem::path const& path);
    // A copy of the entry that covers `path`: its key equals `path`, or it is recursive and one
    // of the two lies below the other (see above for the choice among several).
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
    using Registry = std::map<std::string, handler_data, std::less<>>;

    // Called by the watcher on its thread: builds the file event and publishes it.
    void handleFileAction(WatchId watchid, std::string const& dir, std::string const& filename,
                          FileAction action, std::string old_filename) override;

    // Builds the file event of a change the watcher reported (or would have) and publishes it.
    void publish_file_event(WatchId watchid, std::string const& dir, std::string const& filename,
                            FileAction action, std::string old_filename);
    // The operations below expect mutex_ held.
    Registry::iterator find_covering(std::filesystem::path const& path);
    // An exact entry for the file `path`, watched through its directory; none covers it yet.
    WatchId add_file_entry(std::filesystem::path const& path,
                           std::function<void(FileEvent&)> handler);
    WatchId watch_directory(std::filesystem::path const& path, bool recursive,
                            std::function<void(FileEvent&)> handler);
    void add_entry(std::filesystem::path const& path, handler_data data);
    void erase_entry(Registry::iterator entry);
    // The first entry whose key text begins with `prefix`.
    Registry::iterator first_with_prefix(std::string const& prefix);

    // State below is protected by mutex_. Under it the watcher's own lock is taken (to add a
    // watch) and log lines are written, which only queue (app/log.hpp); no handler runs under it.
    std::mutex mutex_;
    Registry handlers_;
    std::vector<Registry::iterator> recursive_;  // in registration order

    // Set on the main thread before the watcher reports anything for it; read on its thread.
    std::atomic<WatchId> set_aside_wid_{0};
    std::string set_aside_dir_;
    std::string set_aside_kept_;
    // Last, so destroyed first: its thread, which reads the members above, has ended before any
    // of them goes.
    DirWatcher watcher_;
};
