#pragma once

#include "app/convert.hpp"
#include "events/records.hpp"

#include <chrono>
#include <memory>
#include <string>

// Receives the changes that a DirWatcher sees, on the watcher's own thread.
//
// `dir` is the directory text exactly as it was given to add_watch, joined with the subdirectory
// below it for a recursive watch, and always ends in a separator ("/p/d" reports "/p/d/" and
// "/p/d/sub/"). `filename` is a bare name inside `dir`. `action` is one of FileActions:
// - Add: a file or directory appeared (created, or moved in from outside the watch);
// - Delete: it went away (deleted, or moved out of the watch);
// - Modified: a write to a file completed (the writer closed it), or a writer that keeps the file
//   open has stopped writing for a moment; a handler reading the file sees the written content;
// - Moved: renamed within the watch; `old_filename` is the old bare name when the old name was in
//   the same directory, otherwise the old directory text joined with the old name.
// `old_filename` is empty for the other actions.
//
// The changes are reported in batches (what one read of the kernel's queue gave, or what the
// watcher settled while waiting, such as a writer that stopped): after the last report of a
// batch, `handleBatchEnd` is called once for each listener that got a report in it, on the same
// thread, before the watcher waits for more (also when the watcher stops in the middle of a
// batch). A listener may set work aside during a batch and do it then, at once: a checkout that
// adds thousands of files arrives in a few batches.
class DirWatchListener {
public:
    virtual ~DirWatchListener() = default;
    virtual void handleFileAction(WatchId watchid, std::string const& dir,
                                  std::string const& filename, FileAction action,
                                  std::string old_filename) = 0;
    virtual void handleBatchEnd() {}
};

// The negative results of DirWatcher::add_watch.
namespace DirWatchErrors {
inline constexpr WatchId MissingDirectory = -1;
inline constexpr WatchId NotReadable = -2;
inline constexpr WatchId WatchLimitReached = -3;
inline constexpr WatchId NotADirectory = -4;
inline constexpr WatchId OtherFailure = -5;  // no listener, or another system error
}  // namespace DirWatchErrors

// A short description of a DirWatchErrors code, for log lines.
std::string dir_watch_error_text(WatchId error);

// Watches directories, recursively or not, and reports their changes to listeners.
//
// Reporting runs on one thread of the watcher's own, which starts with the first successful
// add_watch: changes are reported from then on, whether or not watch() has been called. Callbacks
// are made with no lock of the watcher held, so a callback may block, or call add_watch, while
// another thread adds watches. A callback must not destroy the watcher. The watcher's own log
// lines are written under its lock: they only queue (app/log.hpp).
//
// A recursive watch follows its tree: a directory created or moved in below it is watched at once
// and whatever it already holds is reported as Add; a renamed directory keeps being reported under
// its new name; symbolic links to directories are not followed. When a watched root directory
// itself is deleted, moved or unmounted, its watch ends with one log line and reports nothing
// more, even if a directory of the same name appears later. A kernel queue overflow is logged once
// per overflow; the changes lost with it are not reported, but new subdirectories are picked up.
class DirWatcher {
public:
    DirWatcher();
    DirWatcher(DirWatcher const&) = delete;
    DirWatcher& operator=(DirWatcher const&) = delete;
    // Ends the reporting thread (after the callback in progress, if any) and every watch.
    ~DirWatcher();

    // Starts watching `directory` and returns a positive id that every report of this watch
    // carries, or one of DirWatchErrors. Existing content is not reported. Asking again for the
    // same directory text with the same listener and recursion returns the same id; any other
    // request for a directory already watched is a watch of its own, and both report.
    WatchId add_watch(std::string const& directory, DirWatchListener* listener, bool recursive);

    // Marks the watcher started (starting its thread if no watch has done so yet). Idempotent.
    void watch();

    // Waits until every change the kernel had queued for this watcher when it was called has been
    // reported, batch ends included, and returns true; returns false after `bound`, or at once
    // when the watcher has no thread or this is its thread (a callback). The first half of a move
    // still waiting for its second (a move out of the watched tree) may be reported later.
    bool sync(std::chrono::milliseconds bound);

    // For a directory whose files are written all the time (a database and its journal): writes
    // to the files of watch `id`'s root directory are reported only once their writer closes the
    // file, so that a writer that keeps its file open does not wake the watcher at every write.
    // The file named `kept` is still reported as before, also while its writer keeps it open,
    // whenever it is replaced or created anew. No effect when another watch covers the directory.
    void quiet_open_writes(WatchId id, std::string const& kept);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};
