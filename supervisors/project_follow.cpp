// Keeping the file map, the mirror and the watches in step with the project while the monitor
// runs: new files that the patterns match, tracked files renamed or moved, and lines added to
// the map by hand.
#include "app/file_content.hpp"
#include "app/log.hpp"
#include "editor/document_text.hpp"
#include "supervisors/online_supervisor.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace fs = std::filesystem;

namespace {

// How long a rename seen on the disk waits for the editor's report of it.
constexpr std::chrono::milliseconds kRenameWaitBound{2000};
// How long a tracked file's deletion waits for the project follower to have read what the kernel
// reported before it; a follower kept busy longer is not waited for.
constexpr std::chrono::milliseconds kFollowerSyncBound{500};
// How long the monitor remembers that it moved a tracked file away from a path, for the deletion
// the old folder's watch reports; the memory is pruned once it holds this many paths.
constexpr std::chrono::seconds kMovedAwayMemory{30};
constexpr std::size_t kMovedAwayPruneSize = 4096;
// Why a file is not followed under a name that no map line can hold.
constexpr char const* kMapCannotHold = "the file map cannot hold a path with ';' or a line feed";

std::string map_line_text(FileId fid, fs::path const& path) {
    return std::to_string(fid.first) + ';' + std::to_string(fid.second) + ';' + path.native();
}

// An absolute path without empty, "." or ".." components (a trailing separator allowed): two such
// paths compare as their texts do. A component that merely starts with a dot is taken for a "."
// one: such paths are compared the slow way.
bool is_plain(std::string_view text) {
    if (!text.starts_with('/')) {
        return false;
    }
    for (std::size_t at = 1; at < text.size(); ++at) {
        if (text[at - 1] == '/' && (text[at] == '/' || text[at] == '.')) {
            return false;
        }
    }
    return true;
}

// Whether paths are `dir` or lie below it, asked of every tracked file at every move. When `dir`
// and the paths asked about are plain, they are compared as texts, without building paths.
class AtOrBelow {
public:
    // `paths_plain`: every path to be asked about is known to be plain.
    AtOrBelow(fs::path const& dir, bool paths_plain)
        : dir_(dir),
          dir_text_(dir.native()),
          by_text_(is_plain(dir_text_)),
          paths_plain_(paths_plain) {
        while (dir_text_.size() > 1 && dir_text_.ends_with('/')) {
            dir_text_.remove_suffix(1);
        }
    }

    // Whether `path` is the directory or lies below it; then `below` is its path relative to it.
    bool operator()(fs::path const& path, fs::path& below) const {
        std::string_view const text = path.native();
        if (by_text_ && (paths_plain_ || is_plain(text))) {
            return below_by_text(text, below);
        }
        if (path == dir_) {
            below.clear();
            return true;
        }
        fs::path const relative = path.lexically_relative(dir_);
        if (relative.empty() || *relative.begin() == "..") {
            return false;
        }
        below = relative;
        return true;
    }

private:
    bool below_by_text(std::string_view rest, fs::path& below) const {
        if (!rest.starts_with(dir_text_)) {
            return false;
        }
        rest.remove_prefix(dir_text_.size());
        if (!rest.empty() && !rest.starts_with('/') && dir_text_ != "/") {
            return false;
        }
        while (rest.starts_with('/')) {
            rest.remove_prefix(1);
        }
        while (rest.ends_with('/')) {
            rest.remove_suffix(1);
        }
        below = rest;
        return true;
    }

    fs::path const& dir_;
    std::string_view dir_text_;  // without trailing separators
    bool by_text_;
    bool paths_plain_;
};

bool at_or_below(fs::path const& path, fs::path const& dir, fs::path& below) {
    return AtOrBelow(dir, false)(path, below);
}

// The project's folder as the editor names it, whatever the monitor was started with (`wardlet
// proj`): absolute, as the paths the follower reports go into the map and the rows, and as the
// editor's paths are asked about.
fs::path editor_root(fs::path const& root) {
    std::error_code error;
    fs::path absolute = fs::absolute(root, error).lexically_normal();
    if (error) {
        return root;
    }
    // Named with a trailing separator (`wardlet proj/`): the folder itself.
    return absolute.has_filename() || !absolute.has_relative_path() ? absolute
                                                                    : absolute.parent_path();
}

fs::path moved_to(fs::path const& to, fs::path const& below) {
    return below.empty() ? to : to / below;
}

}  // namespace

void OnlineSupervisor::follow_project(FileListener* listener) {
    ProjectFollower::Callbacks callbacks;
    callbacks.appeared = [this](fs::path const& path, bool matched) {
        set_aside_new_file(path, matched);
    };
    callbacks.moved = [this, listener](fs::path const& old_path, fs::path const& new_path) {
        follow_disk_move(listener, old_path, new_path);
    };
    callbacks.batch_end = [this, listener] { track_new_files(listener); };
    move_wait_ =
        std::make_unique<SaveWait>(kRenameWaitBound, [this, listener](FileEvent const& move) {
            move_wait_->expired(move);  // nothing to judge later: settled here
            settle_disk_move(listener, move.old_filepath, move.filepath);
        });
    follower_ = std::make_unique<ProjectFollower>(editor_root(env_.rootpath),
                                                  env_.datapath / "patterns", std::move(callbacks));
    follower_->start();
}

void OnlineSupervisor::set_aside_new_file(fs::path const& path, bool matched) {
    std::lock_guard lock(follow_mutex_);
    appeared_.push_back({path, matched});
}

void OnlineSupervisor::track_new_file(FileListener* listener, fs::path const& path) {
    set_aside_new_file(path, true);
    track_new_files(listener);
}

void OnlineSupervisor::track_new_files(FileListener* listener) {
    std::unique_lock lock(follow_mutex_);
    std::vector<AppearedFile> const appeared = std::exchange(appeared_, {});
    std::vector<std::pair<FileId, fs::path>> added;
    std::set<FileId> added_ids;
    std::unordered_set<std::string> added_paths;
    auto const track_added = [&] {
        add_new_files(listener, added);
        added.clear();
        added_ids.clear();
        added_paths.clear();
    };
    std::set<std::string> watched_again;  // folders of tracked files
    auto const path_tracked = [&](fs::path const& path) {
        return tracked_paths_.contains(path.native()) || added_paths.contains(path.native());
    };
    for (auto const& [path, matched] : appeared) {
        if (!filemap_can_hold(path.native())) {
            if (matched) {
                log_line("[OnlineSupervisor] {} not tracked: {}", path.native(), kMapCannotHold);
            }
            continue;
        }
        FileId const fid = file_id_of(path);
        if (fid == FileId{0, 0}) {
            continue;  // gone already
        }
        if (added_ids.contains(fid)) {
            // Named twice in the batch: the first name is tracked before the second is judged.
            track_added();
        }
        auto const known = filemap_.find(fid);
        bool const at_tracked_path =
            known != filemap_.end() ? known->second.filepath == path : path_tracked(path);
        if (at_tracked_path) {
            // A tracked file written anew where it was (a checkout deletes files, even their
            // folder, and writes them again, under the same inode or another): the file
            // listener judges its content under the file's own line, its folder watched again if
            // that watch ended meanwhile.
            if (listener->watch_again(path)) {
                watched_again.insert(path.parent_path().native());
            }
            continue;
        }
        if (known == filemap_.end()) {
            if (matched) {
                added.emplace_back(fid, path);
                added_ids.insert(fid);
                added_paths.insert(path.native());
            }
            continue;
        }
        // The same file under another name: moved from a folder of its own watch.
        fs::path const old_path = known->second.filepath;
        std::error_code error;
        if (!fs::exists(old_path, error) && (matched || holds_mirror_of(path, old_path))) {
            track_added();
            lock.unlock();
            follow_disk_move(listener, old_path, path);
            lock.lock();
        }
        // Otherwise a second name of a tracked file (a hard link): the map holds one per file.
    }
    track_added();
    lock.unlock();
    report_written_unwatched(listener, watched_again);
}

void OnlineSupervisor::report_written_unwatched(FileListener* listener,
                                                std::set<std::string> const& folders) {
    if (folders.empty()) {
        return;
    }
    std::vector<fs::path> files;
    {
        std::lock_guard lock(follow_mutex_);
        for (auto const& [fid, data] : filemap_) {
            std::error_code error;
            if (folders.contains(data.filepath.parent_path().native()) &&
                fs::is_regular_file(data.filepath, error)) {
                files.push_back(data.filepath);
            }
        }
    }
    // Published with no lock of this class held: the bus may wait for room.
    for (fs::path const& path : files) {
        listener->report(path, FileActions::Add);
        listener->report(path, FileActions::Modified);
    }
}

bool OnlineSupervisor::holds_mirror_of(fs::path const& path, fs::path const& tracked) {
    std::optional<std::string> const raw = read_project_file(path, env_.rootpath);
    std::optional<std::string> const mirror = ibuf_.get_filecontent(tracked);
    if (!raw || !mirror) {
        return false;
    }
    std::optional<std::string> const text =
        editor_listener().documents().editor_text(tracked, *raw);
    return *mirror == text.value_or(*raw);
}

void OnlineSupervisor::add_new_files(FileListener* listener,
                                     std::vector<std::pair<FileId, fs::path>> const& files) {
    if (files.empty()) {
        return;
    }
    try {
        write_map_lines(files);
    } catch (FileMapWriteError const& error) {
        for (auto const& [fid, path] : files) {
            log_line("[OnlineSupervisor] cannot add {} to the file map: {}", path.native(),
                     error.what());
        }
        return;
    }
    for (auto const& [fid, path] : files) {
        start_tracking(listener, fid, path, true);
    }
}

void OnlineSupervisor::name_tracked(FileId fid, fs::path const& path) {
    if (auto const known = filemap_.find(fid); known != filemap_.end()) {
        uncount_tracked_path(known->second.filepath.native());
    }
    filemap_.insert_or_assign(fid, filemap_data{path});
    count_tracked_path(path.native());
    moved_away_.erase(path.native());  // tracked again: a deletion reported now is one
}

void OnlineSupervisor::remember_moved_away(std::string const& path) {
    auto const now = std::chrono::steady_clock::now();
    if (moved_away_.size() >= kMovedAwayPruneSize) {
        std::erase_if(moved_away_,
                      [&](auto const& entry) { return now - entry.second > kMovedAwayMemory; });
    }
    moved_away_[path] = now;
}

bool OnlineSupervisor::moved_away_lately(std::string const& path) const {
    auto const found = moved_away_.find(path);
    return found != moved_away_.end() &&
           std::chrono::steady_clock::now() - found->second <= kMovedAwayMemory;
}

bool OnlineSupervisor::forget_moved_away(std::string const& path) {
    bool const lately = moved_away_lately(path);
    moved_away_.erase(path);
    return lately;
}

bool OnlineSupervisor::is_tracked_path(fs::path const& path) const {
    std::lock_guard lock(follow_mutex_);
    if (tracked_paths_.contains(path.native())) {
        return true;
    }
    // Two plain paths are equal only as texts: another text may name the path only otherwise.
    if (every_tracked_path_plain() && is_plain(path.native())) {
        return false;
    }
    return std::any_of(filemap_.begin(), filemap_.end(),
                       [&](auto const& entry) { return entry.second.filepath == path; });
}

void OnlineSupervisor::count_tracked_path(std::string const& path) {
    if (tracked_paths_[path]++ == 0 && !is_plain(path)) {
        ++unplain_tracked_paths_;
    }
}

void OnlineSupervisor::uncount_tracked_path(std::string const& path) {
    auto const named = tracked_paths_.find(path);
    if (named != tracked_paths_.end() && --named->second == 0) {
        tracked_paths_.erase(named);
        if (!is_plain(path)) {
            --unplain_tracked_paths_;
        }
    }
}

void OnlineSupervisor::start_tracking(FileListener* listener, FileId fid, fs::path const& path,
                                      bool content_is_new) {
    name_tracked(fid, path);
    std::string content = read_project_file(path, env_.rootpath).value_or(std::string{});
    // A file that appears holding text did not get it through the editor: it starts empty, and
    // its content is a fast insertion.
    std::string const start = content_is_new ? std::string{} : content;
    std::uint64_t const added = ibuf_.set_filecontent(path, start);
    ibuf_.update(path);
    db_.store_snapshot(path.native(), fid, SnapshotReason::ADDED, start, added);
    listener->watch_file(
        path, [this, listener](FileEvent& event) { handle_trackedfile(listener, event); });
    log_line("[OnlineSupervisor] tracking {} (size={})", path.native(), content.size());
    if (content_is_new && !content.empty()) {
        FileEvent event;
        event.type = BaseEvent::Types::FILE_EVENT;
        event.timestamp = now_timestamp();
        event.action = FileActions::Add;
        event.directory = path.parent_path().native() + "/";
        event.filepath = path.native();
        event.fid = fid;
        event.handler_type = FileEvent::Handlers::TRACKEDFILE;
        if (editor_listener().has_open_connection()) {
            // An editor that first saved a document here sends its text, then its save, which
            // decides; a copy that no editor explains is judged when the wait ends.
            log_line("[OnlineSupervisor] {} appeared with content; waiting for the editor's save",
                     path.native());
            save_wait_->park(std::move(event), start, sha256_hex(content));
            return;
        }
        event.diff = ibuf_.diff_filecontent(path, content);
        event.incident_type = Incident::Types::FAST_INSERTION;
        std::uint64_t const reset = ibuf_.set_filecontent(path, content);
        ibuf_.update(path);
        db_.store_snapshot(path.native(), fid, SnapshotReason::FAST_INSERTION, content, reset);
        log_line("[FileListener]::trackedfile_handler FAST INSERTION fid=({};{})", fid.first,
                 fid.second);
        listener->store(Event{std::move(event)});
    }
}

void OnlineSupervisor::write_map_lines(std::vector<std::pair<FileId, fs::path>> const& lines) {
    FileMapLock const map_lock(tracked_path_.parent_path());
    std::string const text = read_file_content(tracked_path_).value_or(std::string{});
    // The first given line of each file id (a batch of new files may be thousands).
    std::map<FileId, std::size_t> line_of;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        line_of.try_emplace(lines[index].first, index);
    }
    std::vector<bool> written(lines.size(), false);
    // Whether every other line is one the monitor knows already, as it stands.
    bool all_known = true;
    std::istringstream in(text);
    std::string result;
    result.reserve(text.size() + lines.size() * 64);
    for (std::string current; std::getline(in, current);) {
        FileMapLine const parsed = parse_filemap_line(current);
        auto const found = parsed.fid ? line_of.find(*parsed.fid) : line_of.end();
        if (found == line_of.end()) {
            all_known = all_known && (current.empty() || names_known_file(parsed));
            result += current + '\n';
            continue;
        }
        std::size_t const index = found->second;
        if (!written[index]) {
            result += map_line_text(lines[index].first, lines[index].second) + '\n';
            written[index] = true;
        }
    }
    for (std::size_t index = 0; index < lines.size(); ++index) {
        if (!written[index]) {
            result += map_line_text(lines[index].first, lines[index].second) + '\n';
        }
    }
    write_filemap_atomically(tracked_path_, result);
    own_map_text_.reset();
    if (all_known) {
        own_map_text_ = std::move(result);
    }
}

bool OnlineSupervisor::names_known_file(FileMapLine const& line) const {
    if (!line.fid) {
        return false;
    }
    auto const known = filemap_.find(*line.fid);
    return known != filemap_.end() && known->second.filepath.native() == line.filepath.native();
}

std::vector<OnlineSupervisor::MovedFile> OnlineSupervisor::move_tracking(FileListener* listener,
                                                                         fs::path const& from,
                                                                         fs::path const& to,
                                                                         char const* reason) {
    std::vector<MovedFile> moves;
    fs::path below;
    AtOrBelow const moved(from, every_tracked_path_plain());
    for (auto const& [fid, data] : filemap_) {
        if (moved(data.filepath, below)) {
            moves.push_back({fid, data.filepath, moved_to(to, below)});
        }
    }
    if (moves.empty()) {
        return moves;
    }
    struct Moved {
        std::uint64_t place;
        std::string content;
    };
    std::vector<Moved> mirrors;
    // The mirrors move before the map names the new paths: an editor message for a new path
    // that the map already tracks finds its content there.
    for (MovedFile const& move : moves) {
        std::optional<InsertionBuffer::MovedEntry> moved = ibuf_.rename_file(move.from, move.to);
        if (!moved) {
            // Never mirrored (unreadable when tracked): the new path starts as empty.
            std::string content = ibuf_.get_filecontent(move.to).value_or(std::string{});
            std::uint64_t const place = ibuf_.set_filecontent(move.to, content);
            moved = InsertionBuffer::MovedEntry{place, std::move(content)};
        }
        ibuf_.update(move.to);
        mirrors.push_back({moved->place, std::move(moved->content)});
        editor_listener().documents().rename(move.from, move.to);
    }
    std::vector<std::pair<FileId, fs::path>> lines;
    for (MovedFile const& move : moves) {
        lines.emplace_back(move.fid, move.to);
    }
    try {
        write_map_lines(lines);
    } catch (FileMapWriteError const& error) {
        // The mirrors and the watches follow all the same; the map is set right at the next move
        // or addition.
        log_line("[OnlineSupervisor] cannot move {} in the file map: {}", from.native(),
                 error.what());
    }
    for (std::size_t index = 0; index < moves.size(); ++index) {
        MovedFile const& move = moves[index];
        name_tracked(move.fid, move.to);
        remember_moved_away(move.from.native());
        // The record of the new name starts from the content it had when it got it.
        db_.store_snapshot(move.to.native(), move.fid, reason, mirrors[index].content,
                           mirrors[index].place);
        if (auto const watched = listener->find_if_already_watched(move.from);
            watched && watched->first == move.from) {
            listener->unwatch(move.from);
        }
        listener->watch_file(
            move.to, [this, listener](FileEvent& event) { handle_trackedfile(listener, event); });
        log_line("[OnlineSupervisor] {} moved to {}", move.from.native(), move.to.native());
    }
    return moves;
}

void OnlineSupervisor::store_moved_rows(FileListener* listener,
                                        std::vector<MovedFile> const& moves) {
    for (MovedFile const& move : moves) {
        FileEvent event;
        event.type = BaseEvent::Types::FILE_EVENT;
        event.timestamp = now_timestamp();
        event.action = FileActions::Moved;
        event.directory = move.to.parent_path().native() + "/";
        event.filepath = move.to.native();
        event.old_filepath = move.from.native();
        event.fid = move.fid;
        event.handler_type = FileEvent::Handlers::TRACKEDFILE;
        event.incident_type = Incident::Types::NONE;
        listener->store(Event{std::move(event)});
    }
}

bool OnlineSupervisor::editor_may_report(fs::path const& path) {
    VSCodeListener& editor = editor_listener();
    if (editor.has_open_connection()) {
        return true;
    }
    EditorDocuments const& documents = editor.documents();
    fs::path below;
    AtOrBelow const moved(path, every_tracked_path_plain());
    for (auto const& [fid, data] : filemap_) {
        if (moved(data.filepath, below) && documents.seen(data.filepath)) {
            return true;
        }
    }
    return false;
}

void OnlineSupervisor::follow_disk_move(FileListener* listener, fs::path const& reported_old,
                                        fs::path const& new_path) {
    track_new_files(listener);
    if (moved_beyond_map(reported_old, new_path)) {
        return;
    }
    fs::path const old_path = settle_earlier_move(listener, reported_old, new_path);
    std::unique_lock lock(follow_mutex_);
    fs::path below;
    AtOrBelow const moved(old_path, every_tracked_path_plain());
    bool const tracked = std::any_of(filemap_.begin(), filemap_.end(), [&](auto const& entry) {
        return moved(entry.second.filepath, below);
    });
    if (tracked && waiting_move_source(new_path) == old_path) {
        return;  // the same move, reported by another watch
    }
    if (tracked && editor_may_report(old_path)) {
        log_line("[OnlineSupervisor] {} moved to {}; waiting for the editor's report",
                 old_path.native(), new_path.native());
        FileEvent move;
        move.timestamp = now_timestamp();
        move.action = FileActions::Moved;
        move.filepath = new_path.native();
        move.old_filepath = old_path.native();
        move_wait_->park(std::move(move), std::string{});
        // Changes on the disk under the new names are seen meanwhile, and wait with the move.
        for (auto const& [fid, data] : filemap_) {
            if (moved(data.filepath, below)) {
                listener->watch_file(moved_to(new_path, below), [this, listener](FileEvent& event) {
                    handle_trackedfile(listener, event);
                });
            }
        }
        return;
    }
    lock.unlock();
    settle_disk_move(listener, old_path, new_path);
}

void OnlineSupervisor::settle_disk_move(FileListener* listener, fs::path const& old_path,
                                        fs::path const& new_path) {
    track_new_files(listener);
    std::unique_lock lock(follow_mutex_);
    std::vector<MovedFile> const moves =
        move_tracking(listener, old_path, new_path, SnapshotReason::MOVED);
    lock.unlock();
    if (!moves.empty()) {
        store_moved_rows(listener, moves);
        return;
    }
    if (is_tracked_path(new_path)) {
        // Moved already, by the editor's report or another watch's. Renamed into a folder that
        // was deleted and made anew (an editor's safe save after a checkout), the file has that
        // folder watched again.
        if (listener->watch_again(new_path)) {
            report_written_unwatched(listener, {new_path.parent_path().native()});
        }
        return;
    }
    // Not a tracked file: perhaps a name the patterns match now.
    std::error_code error;
    if (follower_ && fs::is_regular_file(new_path, error) && follower_->follows(new_path)) {
        track_new_file(listener, new_path);
    }
}

bool OnlineSupervisor::moved_beyond_map(fs::path const& old_path, fs::path const& new_path) {
    if (filemap_can_hold(new_path.native())) {
        return false;
    }
    std::lock_guard lock(follow_mutex_);
    fs::path below;
    AtOrBelow const moved(old_path, every_tracked_path_plain());
    for (auto const& [fid, data] : filemap_) {
        if (!moved(data.filepath, below)) {
            continue;
        }
        if (moved_away_lately(data.filepath.native())) {
            continue;  // the same rename, reported by another watch
        }
        remember_moved_away(data.filepath.native());
        log_line("[OnlineSupervisor] {} moved to {}: {}; no longer followed",
                 data.filepath.native(), moved_to(new_path, below).native(), kMapCannotHold);
    }
    return true;
}

fs::path OnlineSupervisor::settle_earlier_move(FileListener* listener, fs::path const& old_path,
                                               fs::path const& new_path) {
    if (!move_wait_) {
        return old_path;
    }
    fs::path below;
    fs::path within;
    for (FileEvent const& move : move_wait_->parked()) {
        fs::path const to(move.filepath);
        fs::path now_at;
        if (at_or_below(old_path, to, below)) {
            now_at = old_path;  // renamed again where that move took it
        } else if (at_or_below(old_path, move.old_filepath, below) &&
                   !at_or_below(new_path, to, within)) {
            now_at = moved_to(to, below);  // seen again elsewhere (moved between folders)
        } else {
            continue;
        }
        // Taken by the wait's timer meanwhile, it is settled there.
        for (FileEvent const& taken : move_wait_->take(move.filepath)) {
            settle_disk_move(listener, taken.old_filepath, taken.filepath);
        }
        return now_at;  // each move settles the one before it first: no chain of renames waits
    }
    return old_path;
}

std::optional<fs::path> OnlineSupervisor::waiting_move_source(fs::path const& path) {
    if (!move_wait_) {
        return std::nullopt;
    }
    fs::path below;
    for (FileEvent const& move : move_wait_->parked()) {
        if (at_or_below(path, move.filepath, below)) {
            return moved_to(move.old_filepath, below);
        }
    }
    return std::nullopt;
}

bool OnlineSupervisor::moved_within_project(FileListener* listener, fs::path const& path) {
    std::error_code error;
    if (!follower_ || fs::exists(fs::symlink_status(path, error))) {
        return false;
    }
    auto const moved_away = [&] {
        std::lock_guard lock(follow_mutex_);
        return forget_moved_away(path.native());
    };
    if (moved_away()) {
        return true;
    }
    {
        std::lock_guard lock(follow_mutex_);
        if (!tracked_paths_.contains(path.native()) && !waiting_move_source(path)) {
            // No tracked file's name, nor one a tracked file is moving to (a folder's, say): a
            // deletion like any other.
            return false;
        }
    }
    // A move between folders reaches the file listener, which watches the source folder only, as
    // a deletion, and the project follower, which watches both, as an appearance: what the
    // follower has seen is followed first.
    follower_->sync(kFollowerSyncBound);
    track_new_files(listener);
    if (moved_away()) {
        return true;
    }
    // Or the move waits for the editor's report; it is recorded when that comes or the wait ends.
    fs::path below;
    for (FileEvent const& move : move_wait_->parked()) {
        if (at_or_below(path, move.old_filepath, below)) {
            return true;
        }
    }
    return false;
}

void OnlineSupervisor::follow_first_save(fs::path const& path) {
    std::error_code error;
    if (!follower_ || is_tracked_path(path) || !fs::is_regular_file(path, error) ||
        !follower_->follows(path)) {
        return;
    }
    // Its first message may come before the project follower has seen the file appear.
    track_new_file(&file_listener(), path);
}

void OnlineSupervisor::follow_editor_rename(fs::path const& old_path, fs::path const& new_path) {
    FileListener* listener = &file_listener();
    track_new_files(listener);
    if (!filemap_can_hold(new_path.native())) {
        return;  // not followed: the disk's report of the rename says so
    }
    std::vector<MovedFile> moves;
    {
        std::lock_guard lock(follow_mutex_);
        moves = move_tracking(listener, old_path, new_path, SnapshotReason::EDITOR_RENAME);
    }
    // The disk's report of the same move, if it came first, has nothing left to move; its rows
    // say the disk saw it.
    if (move_wait_ && !move_wait_->take(new_path.native()).empty()) {
        store_moved_rows(listener, moves);
    }
}

void OnlineSupervisor::pick_up_map_lines(FileListener* listener) {
    // Read under the lock: a move that rewrites the map meanwhile must not look like a line
    // changed by hand back to the old path.
    std::lock_guard lock(follow_mutex_);
    if (own_map_text_ && read_file_content(tracked_path_) == own_map_text_) {
        return;  // the monitor's own write, which named only files it tracks
    }
    FileMap const now = parse_filemap();
    for (auto const& [fid, data] : now) {
        auto const known = filemap_.find(fid);
        if (known == filemap_.end() || known->second.filepath != data.filepath) {
            // Tracked as it is: a file named by hand held its content before.
            start_tracking(listener, fid, data.filepath, false);
        }
    }
}
