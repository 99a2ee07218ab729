// The detection logic attached to file events: fast insertions in tracked files and the
// following of the editor's backup files.
#include "app/file_content.hpp"
#include "app/log.hpp"
#include "editor/document_text.hpp"
#include "supervisors/online_supervisor.hpp"

#include <algorithm>

namespace {

// Backup files name their document on the first line, after a fixed-width prefix.
constexpr std::size_t kBackupPrefixLength = 7;

std::optional<std::string> backup_document(std::filesystem::path const& backup_file) {
    std::optional<std::string> const content = read_file_content(backup_file);
    if (!content) {
        return std::nullopt;
    }
    std::string first_line = content->substr(0, content->find('\n'));
    if (first_line.size() <= kBackupPrefixLength) {
        return std::nullopt;
    }
    return first_line.substr(kBackupPrefixLength);
}

}  // namespace

void OnlineSupervisor::sync_tracking(FileListener* listener, FileMap const& filemap) {
    for (auto const& [fid, entry] : filemap) {
        listener->watch_creating(
            entry.filepath,
            [this, listener](FileEvent& event) { handle_trackedfile(listener, event); }, false);
    }
}

bool OnlineSupervisor::moves_tracked_file(std::filesystem::path const& old_path,
                                          std::filesystem::path const& new_path) const {
    FileId const now = file_id_of(new_path);
    std::lock_guard lock(follow_mutex_);
    return std::any_of(filemap_.begin(), filemap_.end(), [&](auto const& entry) {
        return entry.first == now &&
               (entry.second.filepath == old_path || entry.second.filepath == new_path);
    });
}

bool OnlineSupervisor::replaces_tracked_file(std::string const& path) const {
    std::filesystem::path const candidate(path);
    FileId const now = file_id_of(candidate);
    std::lock_guard lock(follow_mutex_);
    for (auto const& [fid, entry] : filemap_) {
        if (entry.filepath == candidate) {
            // The tracked file itself, moved to this name, brings its content along.
            return fid != now;
        }
    }
    return false;
}

void OnlineSupervisor::handle_trackedfile(FileListener* listener, FileEvent& event) {
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    std::error_code error;
    if (event.action == FileActions::Moved &&
        std::filesystem::is_directory(std::filesystem::symlink_status(event.filepath, error))) {
        return;  // a folder's move: the project follower moves the tracked files below it
    }
    if (event.action == FileActions::Moved && !event.old_filepath.empty()) {
        std::filesystem::path const old_path =
            std::filesystem::path(event.directory) / event.old_filepath;
        std::filesystem::path const new_path(event.filepath);
        if (moves_tracked_file(old_path.lexically_normal(), new_path)) {
            // Seen here before any later change under the new name; the move's rows come with it.
            follow_disk_move(listener, old_path.lexically_normal(), new_path);
            return;
        }
    }
    if (event.action == FileActions::Delete && moved_within_project(listener, event.filepath)) {
        log_line("[OnlineSupervisor] {} was moved within the project, not deleted", event.filepath);
        return;  // its move is recorded as such
    }
    // A program that writes a temporary file and renames it over a tracked file replaces its
    // content as surely as a write does.
    // An event back from waiting for a save in vain is judged whatever its kind (a file that
    // appeared with content, say).
    std::optional<std::string> const mirror_then = save_wait_->expired(event);
    bool const content_may_have_changed =
        mirror_then || event.action == FileActions::Modified ||
        (event.action == FileActions::Moved && replaces_tracked_file(event.filepath));
    if (content_may_have_changed) {
        if (!judge_disk(event, !mirror_then, mirror_then)) {
            return;  // stored once the save comes, or its wait ends
        }
    }
    listener->store(Event{event});
}

bool OnlineSupervisor::judge_disk(FileEvent& event, bool may_wait,
                                  std::optional<std::string> const& mirror_then) {
    std::filesystem::path const path(event.filepath);
    std::optional<std::string> raw = read_project_file(path, env_.rootpath);
    if (!raw) {
        // A file that is gone or unreadable tells nothing about its content; comparing it as
        // empty would flag a deletion of every line and lose the mirror.
        log_line("[FileListener]::trackedfile_handler cannot read {}; not compared",
                 event.filepath);
        return true;
    }
    EditorDocuments const& documents = editor_listener().documents();
    std::string const disk_sha256 = sha256_hex(*raw);
    if (documents.is_saved_disk(path, disk_sha256)) {
        // The bytes of the editor's last save, which matched its text.
        log_line("[FileListener]::trackedfile_handler {} written by the editor's save",
                 event.filepath);
        return true;
    }
    // Compared as the editor reads the file, so that its encoding, byte order mark and line ends
    // are no difference.
    std::optional<std::string> content = documents.editor_text(path, *raw);
    if (!content) {
        content = std::move(raw);
    }
    if (std::optional<std::filesystem::path> const source = waiting_move_source(path);
        source && may_wait && !ibuf_.get_filecontent(path)) {
        // Changed under a name whose move still waits for the editor's report: judged with the
        // document's mirror, once the editor has caught up.
        log_line(
            "[FileListener]::trackedfile_handler {} changed before its move was settled; "
            "waiting for the editor's save",
            event.filepath);
        save_wait_->park(event, ibuf_.get_filecontent(*source).value_or(std::string{}),
                         disk_sha256);
        return false;
    }
    if (ibuf_.compare_filecontent(path, *content) == 0) {
        if (!mirror_then || *mirror_then == *content) {
            return true;
        }
        // No save explains the change, and the editor has since taken the disk's content
        // (reloading the file): the change bypassed the editor all the same.
        event.diff = InsertionBuffer::line_diff(*mirror_then, *content);
    } else if (may_wait && (documents.seen(path) || editor_listener().has_open_connection())) {
        // The editor may have written the file before its changes (or its description of the
        // document) reached the mirror; its save message, which follows them, decides.
        log_line(
            "[FileListener]::trackedfile_handler {} differs from the mirror; waiting for the "
            "editor's save",
            event.filepath);
        save_wait_->park(event, ibuf_.get_filecontent(path).value_or(std::string{}), disk_sha256);
        return false;
    } else {
        event.diff = ibuf_.diff_filecontent(path, *content);
    }
    log_line("[FileListener]::trackedfile_handler FAST INSERTION fid=({};{})", event.fid.first,
             event.fid.second);
    event.incident_type = Incident::Types::FAST_INSERTION;
    std::uint64_t const place = ibuf_.set_filecontent(path, *content);
    ibuf_.update(path);
    // Edits that reach the mirror from now on apply to the disk content; the place in the
    // mirror's order puts an edit mirrored before the reset but stored after it before the
    // snapshot, where it belongs.
    db_.store_snapshot(event.filepath, event.fid, SnapshotReason::FAST_INSERTION, *content, place);
    save_wait_->rebase(event.filepath, *content);
    return true;
}

void OnlineSupervisor::after_editor_event(EditorOutcome const& outcome) {
    if (!outcome.saved || !outcome.tracked) {
        return;
    }
    std::filesystem::path const path(outcome.path);
    if (outcome.save_matches_disk) {
        editor_listener().documents().note_saved_disk(path, outcome.saved_disk_sha256);
    }
    std::vector<std::string> seen_disk;
    std::vector<FileEvent> waiting = save_wait_->take(outcome.path, &seen_disk);
    for (std::size_t index = 0; index < waiting.size(); ++index) {
        if (outcome.save_matches_disk && seen_disk[index] == outcome.saved_disk_sha256) {
            log_line("[FileListener]::trackedfile_handler {} written by the editor's save",
                     waiting[index].filepath);
        } else {
            // The disk it saw was not the save's: a write that came after the save, judged
            // against the disk as it is now.
            judge_disk(waiting[index], false);
        }
        file_listener().store(Event{waiting[index]});
    }
}

void OnlineSupervisor::judge_waiting_now() {
    // Renames first: a disk change waiting for a save is judged under the file's settled name.
    if (move_wait_) {
        move_wait_->expire_all();
    }
    save_wait_->expire_all();
}

void OnlineSupervisor::handle_backupdir(FileListener* listener, FileEvent& event) {
    log_line("[FileListener]::handler VSCodeBackup");
    listener->store(Event{event});
    event.handler_type = FileEvent::Handlers::VSCODE_BACKUPPATH;
    listener->store(Event{event});
    if (event.action == FileActions::Add) {
        std::optional<std::string> const document = backup_document(event.filepath);
        if (document && listener->has_entry_with_prefix(*document)) {
            listener->watch_creating(
                event.filepath,
                [this, listener](FileEvent& backup) { handle_backupfile(listener, backup); },
                false);
        }
    } else if (event.action == FileActions::Delete) {
        listener->unwatch(event.filepath);
    }
}

void OnlineSupervisor::handle_backupfile(FileListener* listener, FileEvent& event) {
    event.handler_type = FileEvent::Handlers::BACKUPFILE;
    listener->store(Event{event});
}
