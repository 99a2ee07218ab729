#pragma once

#include "files/dir_watcher.hpp"
#include "files/tracking_patterns.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

// Follows the project tree for files that the tracking patterns match. Every directory of the
// project is watched (not recursively, so that skipped folders cost no watch): the data directory,
// version control, dependency and build folders, and what the project's .gitignore files ignore
// (each folder's file for the paths below it, as git reads them) are left out. A directory that
// appears is watched and what it holds is looked at; a .gitignore is read again when it changes.
//
// The follower decides nothing about tracking itself: it calls back, on the watcher's thread,
//  - `appeared(path, matched)` for a regular file that appeared in a followed folder (created,
//    or moved in from outside the tree, from another folder or from a name the patterns do not
//    match); `matched` says whether the patterns match its project-relative path. One they do not
//    match may still be a tracked file moved here from another folder;
//  - `moved(old_path, new_path)` for a file renamed within the tree;
//  - `batch_end()` after the calls of one batch of the watcher (files/dir_watcher.hpp), so that
//    the files of a checkout may be taken on together; optional.
// The patterns file is read again whenever it changed.
class ProjectFollower : private DirWatchListener {
public:
    struct Callbacks {
        std::function<void(std::filesystem::path const&, bool matched)> appeared;
        std::function<void(std::filesystem::path const&, std::filesystem::path const&)> moved;
        std::function<void()> batch_end;
    };
    ProjectFollower(std::filesystem::path root, std::filesystem::path patterns_file,
                    Callbacks callbacks);

    // Watches the tree as it is now; changes are reported from then on.
    void start();

    // Whether the patterns match `path`, a path below the project and in no skipped folder.
    bool follows(std::filesystem::path const& path);

    // Waits, at most `bound`, until every change of the tree queued when it was called has been
    // reported through the callbacks, batch ends included (DirWatcher::sync). False when it did
    // not, or when called from a callback.
    bool sync(std::chrono::milliseconds bound) { return watcher_.sync(bound); }

private:
    void handleFileAction(WatchId watchid, std::string const& dir, std::string const& filename,
                          FileAction action, std::string old_filename) override;
    void handleBatchEnd() override;
    // Watches `dir` and every directory below it that is not skipped; files found there are
    // reported as appeared when `report_files`.
    void watch_tree(std::filesystem::path const& dir, bool report_files);
    bool skipped(std::filesystem::path const& dir);
    // Expects mutex_ held.
    std::vector<std::string> const& patterns();
    std::string relative(std::filesystem::path const& path) const;
    // Reads the .gitignore of `dir`, a folder of the tree, again.
    void read_ignore_file(std::filesystem::path const& dir);

    // Threads: the owning thread constructs and starts it; the watcher's thread reports changes
    // and makes the callbacks, with no lock of this class held; `follows` is also asked by the
    // bus worker (a move reported through the file listener).
    std::filesystem::path root_;
    std::filesystem::path patterns_file_;
    Callbacks callbacks_;

    // State below is protected by mutex_, held to read or match the patterns and nothing else.
    std::mutex mutex_;
    std::string patterns_text_;
    bool patterns_read_ = false;
    std::vector<std::string> patterns_;
    IgnoreRules ignored_;  // the .gitignore files of the watched folders
    // Last, so destroyed first: its thread, which calls back into the members above, has ended
    // before any of them goes.
    DirWatcher watcher_;
};
