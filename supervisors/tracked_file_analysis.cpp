// The detection logic attached to file events: fast insertions in tracked files and the
// following of the editor's backup files.
#include "app/file_content.hpp"
#include "app/log.hpp"
#include "supervisors/online_supervisor.hpp"

#include <fstream>

namespace {

// Backup files name their document on the first line, after a fixed-width prefix.
constexpr std::size_t kBackupPrefixLength = 7;

std::optional<std::string> backup_document(std::filesystem::path const& backup_file) {
    std::ifstream in(backup_file, std::ios::binary);
    std::string first_line;
    if (!in || !std::getline(in, first_line) || first_line.size() <= kBackupPrefixLength) {
        return std::nullopt;
    }
    return first_line.substr(kBackupPrefixLength);
}

}  // namespace

void OnlineSupervisor::sync_tracking(FileListener* listener, FileMap const& filemap) {
    for (auto const& [fid, entry] : filemap) {
        listener->watch(
            entry.filepath,
            [this, listener](FileEvent& event) { handle_trackedfile(listener, event); }, false);
    }
}

bool OnlineSupervisor::is_tracked_file(std::string const& path) const {
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
        (event.action == FileActions::Moved && is_tracked_file(event.filepath));
    if (content_may_have_changed) {
        std::filesystem::path const path(event.filepath);
        std::optional<std::string> const content = read_file_content(path);
        if (!content) {
            // A file that is gone or unreadable tells nothing about its content; comparing it as
            // empty would flag a deletion of every line and lose the mirror.
            log_line("[FileListener]::trackedfile_handler cannot read {}; not compared",
                     event.filepath);
        } else if (ibuf_.compare_filecontent(path, *content) != 0) {
            log_line("[FileListener]::trackedfile_handler FAST INSERTION fid=({};{})",
                     event.fid.first, event.fid.second);
            event.diff = ibuf_.diff_filecontent(path, *content);
            event.incident_type = Incident::Types::FAST_INSERTION;
            ibuf_.set_filecontent(path, *content);
            ibuf_.update(path);
            // Edits stored from now on apply to the disk content, not to what the mirror held.
            // An edit mirrored before the reset but stored after it is replayed on top of it,
            // while the mirror lost it to the reset.
            db_.store_snapshot(event.filepath, event.fid, SnapshotReason::FAST_INSERTION, *content);
        }
    }
    listener->store(Event{event});
}

void OnlineSupervisor::handle_backupdir(FileListener* listener, FileEvent& event) {
    log_line("[FileListener]::handler VSCodeBackup");
    listener->store(Event{event});
    event.handler_type = FileEvent::Handlers::VSCODE_BACKUPPATH;
    listener->store(Event{event});
    if (event.action == FileActions::Add) {
        std::optional<std::string> const document = backup_document(event.filepath);
        if (document && listener->is_tracked(*document)) {
            listener->watch(
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
