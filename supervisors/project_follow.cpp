// Keeping the file map, the mirror and the watches in step with the project while the monitor
// runs: new files that the patterns match, tracked files renamed or moved, and lines added to
// the map by hand.
#include "app/file_content.hpp"
#include "app/log.hpp"
#include "files/atomic_write.hpp"
#include "supervisors/online_supervisor.hpp"

#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string map_line_text(FileId fid, fs::path const& path) {
    return std::to_string(fid.first) + ';' + std::to_string(fid.second) + ';' + path.native();
}

// The map's text with `line` added, or each line naming `fid` replaced by it.
std::string map_with(fs::path const& map, FileId fid, std::string const& line) {
    std::string const text = read_file_content(map).value_or(std::string{});
    std::istringstream in(text);
    std::string result;
    bool replaced = false;
    for (std::string current; std::getline(in, current);) {
        FileMapLine const parsed = parse_filemap_line(current);
        if (parsed.fid == fid) {
            if (!replaced) {
                result += line + '\n';
            }
            replaced = true;
            continue;
        }
        result += current + '\n';
    }
    if (!replaced) {
        result += line + '\n';
    }
    return result;
}

}  // namespace

void OnlineSupervisor::follow_project(FileListener* listener) {
    ProjectFollower::Callbacks callbacks;
    callbacks.appeared = [this, listener](fs::path const& path) {
        track_new_file(listener, path, true);
    };
    callbacks.moved = [this, listener](fs::path const& old_path, fs::path const& new_path) {
        track_moved_file(listener, old_path, new_path);
    };
    follower_ = std::make_unique<ProjectFollower>(env_.rootpath, env_.datapath / "patterns",
                                                  std::move(callbacks));
    follower_->start();
}

void OnlineSupervisor::track_new_file(FileListener* listener, fs::path const& path,
                                      bool content_is_new) {
    FileId const fid = file_id_of(path);
    if (fid == FileId{0, 0}) {
        return;  // gone already
    }
    std::unique_lock lock(follow_mutex_);
    if (auto const known = filemap_.find(fid); known != filemap_.end()) {
        if (known->second.filepath == path) {
            return;
        }
        // The same file under another name: moved from a folder of its own watch.
        fs::path const old_path = known->second.filepath;
        std::error_code error;
        if (!fs::exists(old_path, error)) {
            lock.unlock();
            track_moved_file(listener, old_path, path);
        }
        // Otherwise a second name of a tracked file (a hard link): the map holds one per file.
        return;
    }
    try {
        write_file_atomically(tracked_path_,
                              map_with(tracked_path_, fid, map_line_text(fid, path)));
    } catch (AtomicWriteError const& error) {
        log_line("[OnlineSupervisor] cannot add {} to the file map: {}", path.native(),
                 error.what());
        return;
    }
    start_tracking(listener, fid, path, content_is_new);
}

void OnlineSupervisor::start_tracking(FileListener* listener, FileId fid, fs::path const& path,
                                      bool content_is_new) {
    filemap_.insert_or_assign(fid, filemap_data{path});
    std::string content = read_project_file(path, env_.rootpath).value_or(std::string{});
    // A file that appears holding text did not get it through the editor: it starts empty, and
    // its content is a fast insertion.
    std::string const start = content_is_new ? std::string{} : content;
    std::uint64_t const added = ibuf_.set_filecontent(path, start);
    ibuf_.update(path);
    db_.store_snapshot(path.native(), fid, SnapshotReason::ADDED, start, added);
    listener->watch_creating(
        path, [this, listener](FileEvent& event) { handle_trackedfile(listener, event); }, false);
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

void OnlineSupervisor::track_moved_file(FileListener* listener, fs::path const& old_path,
                                        fs::path const& new_path) {
    std::unique_lock lock(follow_mutex_);
    auto entry = filemap_.begin();
    while (entry != filemap_.end() && entry->second.filepath != old_path) {
        ++entry;
    }
    if (entry == filemap_.end()) {
        lock.unlock();
        if (follower_ && follower_->follows(new_path)) {
            track_new_file(listener, new_path, true);
        }
        return;
    }
    FileId const fid = entry->first;
    // The mirror moves before the map names the new path: an editor message for the new path
    // that the map already tracks finds its content there.
    // The editor may have told of the rename first and moved the mirror already; then the old
    // name has no mirror left and the new one keeps its own.
    ibuf_.rename_file(old_path, new_path);
    std::string const content = ibuf_.get_filecontent(new_path).value_or(std::string{});
    // Setting the same content takes the move's place in the mirror's order.
    std::uint64_t const place = ibuf_.set_filecontent(new_path, content);
    ibuf_.update(new_path);
    if (!fs::path(new_path).lexically_relative(env_.rootpath).native().starts_with("..")) {
        try {
            write_file_atomically(tracked_path_,
                                  map_with(tracked_path_, fid, map_line_text(fid, new_path)));
        } catch (AtomicWriteError const& error) {
            log_line("[OnlineSupervisor] cannot move {} in the file map: {}", old_path.native(),
                     error.what());
            return;
        }
    }
    entry->second.filepath = new_path;
    // The replay of the new name starts from the content it had when it got it.
    db_.store_snapshot(new_path.native(), fid, SnapshotReason::MOVED, content, place);
    if (auto const watched = listener->find_if_already_watched(old_path);
        watched && watched->first == old_path) {
        listener->unwatch(old_path);
    }
    listener->watch_creating(
        new_path, [this, listener](FileEvent& event) { handle_trackedfile(listener, event); },
        false);
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.timestamp = now_timestamp();
    event.action = FileActions::Moved;
    event.directory = new_path.parent_path().native() + "/";
    event.filepath = new_path.native();
    event.old_filepath = old_path.native();
    event.fid = fid;
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    event.incident_type = Incident::Types::NONE;
    log_line("[OnlineSupervisor] {} moved to {}", old_path.native(), new_path.native());
    listener->store(Event{std::move(event)});
}

void OnlineSupervisor::pick_up_map_lines(FileListener* listener) {
    FileMap const now = parse_filemap();
    std::lock_guard lock(follow_mutex_);
    for (auto const& [fid, data] : now) {
        auto const known = filemap_.find(fid);
        if (known == filemap_.end() || known->second.filepath != data.filepath) {
            // Tracked as it is: a file named by hand held its content before.
            start_tracking(listener, fid, data.filepath, false);
        }
    }
}
