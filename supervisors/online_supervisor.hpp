#pragma once

#include "app/env.hpp"
#include "editor/filemap.hpp"
#include "editor/vscode_listener.hpp"
#include "events/event_bus.hpp"
#include "files/file_listener.hpp"
#include "index/insertion_buffer.hpp"
#include "store/event_db.hpp"
#include "supervisors/project_follower.hpp"
#include "supervisors/save_wait.hpp"
#include "supervisors/supervisor.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The composition of the running monitor: builds the file and editor listeners, routes their
// events from the bus, decides what is watched with which handler, and holds the analysis of
// tracked files.
class OnlineSupervisor {
public:
    // `before_first_rows`, when given, runs once the editor socket is owned and every step that
    // can fail has passed, just before the first rows of the run are stored.
    OnlineSupervisor(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env,
                     std::string socket_path = EDITOR_SOCKET_PATH,
                     std::function<void()> const& before_first_rows = {});
    OnlineSupervisor(OnlineSupervisor const&) = delete;
    OnlineSupervisor& operator=(OnlineSupervisor const&) = delete;
    ~OnlineSupervisor();

    // Starts the file listener, then serves the editor socket until the editor listener stops.
    void start();
    void stop();

    FileMap parse_filemap();
    void sync_tracking(FileListener* listener, FileMap const& filemap);
    // Both set fields of the event they are handed before storing it.
    void handle_trackedfile(FileListener* listener, FileEvent& event);
    void handle_backupfile(FileListener* listener, FileEvent& event);
    // Hands every disk change still waiting for the editor's save to the bus, to be judged
    // without the save. For the teardown, once the editor connections are closed.
    void judge_waiting_now();

    FileListener& file_listener();
    VSCodeListener& editor_listener();

private:
    void watch_locations();
    // Following the project (project_follow.cpp): files that appear, move, or are added to the
    // map by hand become tracked while the monitor runs.
    void follow_project(FileListener* listener);
    // A file the follower saw appear, set aside until the end of the follower's batch: the files
    // of a checkout then get their map lines in one write. Nothing else waits for it. `matched`:
    // the patterns match its path.
    void set_aside_new_file(std::filesystem::path const& path, bool matched);
    // Follows every file set aside, in the order they appeared: a tracked file under a new name
    // (moved from another folder) is moved, whether or not the patterns match the new name; a
    // file at a tracked path is that file written anew (its folder watched again if need be);
    // any other file the patterns match is tracked as a new file: added empty, its content a
    // fast insertion. At the end of the follower's batch, and first of all in every step that adds
    // or moves tracking, so those steps see the files in the order they came.
    void track_new_files(FileListener* listener);
    // `path` set aside and tracked at once, with any set aside before it.
    void track_new_file(FileListener* listener, std::filesystem::path const& path);
    // For folders whose watch began again (FileListener::watch_again): an Add and a Modified for
    // each tracked file there, as the watcher would have reported what was written meanwhile.
    void report_written_unwatched(FileListener* listener, std::set<std::string> const& folders);
    // Whether `path` holds the content of the tracked file `tracked`'s mirror, read as the editor
    // reads `tracked`. A file the patterns do not match is taken for a tracked file moved there
    // only then, not for an unrelated file given the number of a deleted tracked file's inode.
    bool holds_mirror_of(std::filesystem::path const& path, std::filesystem::path const& tracked);
    // Map lines for `files`, in one write, then their tracking. Expects follow_mutex_ held.
    void add_new_files(FileListener* listener,
                       std::vector<std::pair<FileId, std::filesystem::path>> const& files);
    // A rename seen on the disk. When an editor may report the same move, its report, which
    // comes in order with its changes, moves the tracking; the disk's report waits for it, and
    // settles the move itself only if none comes in time.
    void follow_disk_move(FileListener* listener, std::filesystem::path const& old_path,
                          std::filesystem::path const& new_path);
    void settle_disk_move(FileListener* listener, std::filesystem::path const& old_path,
                          std::filesystem::path const& new_path);
    // Whether `new_path` is a name no map line can hold. The tracked files moved there are no
    // longer followed: their lines, mirrors and watches keep the old names, as for a file moved
    // out of the project, and the deletion the old folder's watch reports is not stored.
    bool moved_beyond_map(std::filesystem::path const& old_path,
                          std::filesystem::path const& new_path);
    // The editor's report of a document first saved at `path`, on its connection's reading
    // thread: a file the patterns match is tracked from empty before the text is mirrored.
    void follow_first_save(std::filesystem::path const& path);
    // The editor's report of a rename, on its connection's reading thread.
    void follow_editor_rename(std::filesystem::path const& old_path,
                              std::filesystem::path const& new_path);
    struct MovedFile {
        FileId fid;
        std::filesystem::path from;
        std::filesystem::path to;
    };
    // Moves every tracked file at or below `from` to the same place below `to`: its mirror (one
    // place in the mirrors' order, snapshot with `reason`), its map line, what the editor's
    // documents know of it, and its watch. A file moved already (the other report of the same
    // move) is not at `from` any more, so nothing moves twice. Expects follow_mutex_ held.
    std::vector<MovedFile> move_tracking(FileListener* listener, std::filesystem::path const& from,
                                         std::filesystem::path const& to, char const* reason);
    bool is_tracked_path(std::filesystem::path const& path) const;
    // Whether the tracked file at `path`, reported deleted, was moved within the project
    // instead: gone from `path`, and moved away from it by the monitor, or moving once the editor
    // has reported the move or its wait has ended.
    bool moved_within_project(FileListener* listener, std::filesystem::path const& path);
    // Whether a rename from `old_path` to `new_path` is the move of a tracked file itself (the
    // same file, still tracked under either name), not another file put in a tracked one's place.
    bool moves_tracked_file(std::filesystem::path const& old_path,
                            std::filesystem::path const& new_path) const;
    // A `Moved` row for each file the disk showed moved.
    void store_moved_rows(FileListener* listener, std::vector<MovedFile> const& moves);
    // Gives each file id its path in the map, adding a line for one it lacks, under the data
    // directory's lock. Throws FileMapWriteError. Expects follow_mutex_ held.
    void write_map_lines(std::vector<std::pair<FileId, std::filesystem::path>> const& lines);
    // Whether `line` names a file as filemap_ names it (path compared as text). Expects
    // follow_mutex_ held.
    bool names_known_file(FileMapLine const& line) const;
    // A tracked file reported moved from `old_path` to `new_path` while an earlier rename of it,
    // seen on the disk, still waits for the editor (renamed twice within the wait): that rename
    // is settled now, so that this move starts from the name it gave the file, which is returned
    // (`old_path` when no rename waits).
    std::filesystem::path settle_earlier_move(FileListener* listener,
                                              std::filesystem::path const& old_path,
                                              std::filesystem::path const& new_path);
    // The name `path` had before a rename seen on the disk that still waits for the editor.
    std::optional<std::filesystem::path> waiting_move_source(std::filesystem::path const& path);
    // Whether an editor may still report a move of `path` or of a file below it.
    bool editor_may_report(std::filesystem::path const& path);
    // Tracks the files the map names now that filemap_ does not name so (lines added by hand).
    void pick_up_map_lines(FileListener* listener);
    // `fid` named `path` in filemap_ and tracked_paths_. Expects follow_mutex_ held.
    void name_tracked(FileId fid, std::filesystem::path const& path);
    // One more or one fewer entry of filemap_ names `path`, in tracked_paths_. Expect
    // follow_mutex_ held.
    void count_tracked_path(std::string const& path);
    void uncount_tracked_path(std::string const& path);
    // A tracked file was moved away from `path` now; whether one was lately; the same, forgotten
    // then. Expect follow_mutex_ held.
    void remember_moved_away(std::string const& path);
    bool moved_away_lately(std::string const& path) const;
    bool forget_moved_away(std::string const& path);
    // Whether every path filemap_ names is plain (absolute, no empty, "." or ".." components, no
    // component starting with a dot): then a scan for the files below a moved path compares
    // texts only.
    bool every_tracked_path_plain() const { return unplain_tracked_paths_ == 0; }
    // Expects follow_mutex_ held.
    void start_tracking(FileListener* listener, FileId fid, std::filesystem::path const& path,
                        bool content_is_new);
    void handle_backupdir(FileListener* listener, FileEvent& event);
    // Whether another file took the place of the tracked file at `path` (written elsewhere and
    // renamed over it).
    bool replaces_tracked_file(std::string const& path) const;
    // What the delivery of an editor event needs of it once it is stored.
    struct EditorOutcome {
        std::string path;
        std::string kind;
        bool tracked = false;
        bool saved = false;
        bool save_matches_disk = false;
        std::string saved_disk_sha256;
    };
    // A save of a tracked document judges the disk changes that waited for it.
    void after_editor_event(EditorOutcome const& outcome);
    // Judges a disk change of a tracked file: false when it was parked to wait for the editor's
    // save (only when `may_wait`), true when the event is ready to be stored. `mirror_then`, for
    // a change that waited in vain, is the mirror when it was first judged.
    bool judge_disk(FileEvent& event, bool may_wait,
                    std::optional<std::string> const& mirror_then = std::nullopt);

    EventBus& bus_;
    EventDB& db_;
    InsertionBuffer& ibuf_;
    Env& env_;
    // Threads: the owning thread constructs it, runs `start` and, at teardown, judge_waiting_now;
    // `stop` may come from any thread. The handlers (handle_trackedfile, handle_backupfile and the
    // routes) run where the bus delivers, one at a time; the follower's callbacks
    // (set_aside_new_file, track_new_files, follow_disk_move) on the follower's watcher thread.
    std::vector<std::unique_ptr<ISupervisor>> supervisors_;
    std::filesystem::path tracked_path_;
    // The map of tracked files as the running monitor knows it: protected by follow_mutex_,
    // written by the follower's thread and by the bus's deliveries (lines added to the map by
    // hand), read by the deliveries. Under it the insertion buffer's, the file listener's and the
    // database's locks may be taken, and storing may wait for the database's room; none of those
    // calls back into this class. Log lines written under it only queue (app/log.hpp).
    mutable std::mutex follow_mutex_;
    FileMap filemap_;
    // How many entries of filemap_ name each path (its text): whether a path is tracked, found
    // without a pass over the map (a file appearing is asked about, tracked or not).
    std::unordered_map<std::string, std::size_t> tracked_paths_;
    std::size_t unplain_tracked_paths_ = 0;  // paths of tracked_paths_ that are not plain
    // The map as the monitor last wrote it, kept when every other line in it named a file as
    // filemap_ names it: a change of the map that finds this text there has nothing to pick up,
    // and is not parsed again at every move.
    std::optional<std::string> own_map_text_;
    // The paths tracked files were moved away from lately, and when: the deletion that a watch of
    // the old folder alone reports for one is that move. Forgotten once used, when the path is
    // tracked again, or after a while.
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> moved_away_;
    struct AppearedFile {
        std::filesystem::path path;
        bool matched;
    };
    std::vector<AppearedFile> appeared_;  // set aside by set_aside_new_file
    // Renames seen on the disk waiting for the editor's report; before the follower, whose
    // thread parks them, so that thread has ended before this goes.
    std::unique_ptr<SaveWait> move_wait_;
    std::unique_ptr<ProjectFollower> follower_;
    // Last: it ends its timer before anything the timer uses goes.
    std::unique_ptr<SaveWait> save_wait_;
};
