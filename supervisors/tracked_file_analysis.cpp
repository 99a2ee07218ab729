// The detection logic attached to file events: fast insertions in tracked files and the
// following of the editor's backup files.
#include "app/file_content.hpp"
#include "app/log.hpp"
#include "editor/document_text.hpp"
#include "supervisors/online_supervisor.hpp"

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

bool OnlineSupervisor::in_kept_filemap(std::string const& path) const {
    std::filesystem::path const candidate(path);
    std::lock_guard lock(follow_mutex_);
    for (auto const& [fid, entry] : filemap_) {
        if (entry.filepath == candidate) {
            return true;
        }
    }
    return false;
}

void OnlineSupervisor::handle_trackedfile(FileListener* listener, FileEvent& event) {
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    // A program that writes a temporary file and renames it over a tracked file replaces its
    // content as surely as a write does.
    bool const content_may_have_changed =
        event.action == FileActions::Modified ||
        (event.action == FileActions::Moved && in_kept_filemap(event.filepath));
    if (content_may_have_changed) {
        std::optional<std::string> const mirror_then = save_wait_->expired(event);
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
    if (documents.is_saved_disk(path, sha256_hex(*raw))) {
        return true;  // the bytes of the editor's last save, which matched its text
    }
    // Compared as the editor reads the file, so that its encoding, byte order mark and line ends
    // are no difference.
    std::optional<std::string> content = documents.editor_text(path, *raw);
    if (!content) {
        content = std::move(raw);
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
        save_wait_->park(event, ibuf_.get_filecontent(path).value_or(std::string{}));
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
    return true;
}

void OnlineSupervisor::after_editor_event(EditorOutcome const& outcome) {
    if (outcome.kind == MessageKind::RENAME) {
        // The listener has rewritten the map's line: watch the document where it is now. The
        // project follower reads and changes the same map on its own thread.
        std::filesystem::path const renamed(outcome.path);
        bool tracked_now = false;
        {
            std::lock_guard lock(follow_mutex_);
            filemap_ = parse_filemap();
            tracked_now = std::any_of(filemap_.begin(), filemap_.end(), [&](auto const& entry) {
                return entry.second.filepath == renamed;
            });
        }
        if (tracked_now) {
            FileListener* listener = &file_listener();
            listener->watch_creating(
                renamed,
                [this, listener](FileEvent& event) { handle_trackedfile(listener, event); }, false);
        }
    }
    if (!outcome.saved || !outcome.tracked) {
        return;
    }
    std::filesystem::path const path(outcome.path);
    if (outcome.save_matches_disk) {
        editor_listener().documents().note_saved_disk(path, outcome.saved_disk_sha256);
    }
    for (FileEvent& waiting : save_wait_->take(outcome.path)) {
        if (outcome.save_matches_disk) {
            log_line("[FileListener]::trackedfile_handler {} written by the editor's save",
                     waiting.filepath);
        } else {
            judge_disk(waiting, false);
        }
        file_listener().store(Event{waiting});
    }
}

void OnlineSupervisor::judge_waiting_now() {
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
