#include "supervisors/project_follower.hpp"

#include "app/file_content.hpp"
#include "app/log.hpp"
#include "files/tracking_patterns.hpp"

namespace fs = std::filesystem;

ProjectFollower::ProjectFollower(fs::path root, fs::path patterns_file, Callbacks callbacks)
    : root_(std::move(root)),
      patterns_file_(std::move(patterns_file)),
      callbacks_(std::move(callbacks)) {
    read_ignore_file(root_);
}

void ProjectFollower::read_ignore_file(fs::path const& dir) {
    std::string const rel = dir == root_ ? std::string{} : relative(dir);
    std::vector<std::string> patterns =
        pattern_lines(read_file_content(dir / ".gitignore").value_or(std::string{}));
    std::lock_guard lock(mutex_);
    ignored_.set(rel, std::move(patterns));
}

void ProjectFollower::start() {
    watch_tree(root_, false);
    watcher_.watch();
    log_line("[ProjectFollower] following {}", root_.native());
}

std::string ProjectFollower::relative(fs::path const& path) const {
    return path.lexically_relative(root_).generic_string();
}

bool ProjectFollower::skipped(fs::path const& dir) {
    if (dir == root_) {
        return false;
    }
    std::string const rel = relative(dir);
    if (rel.empty() || rel.starts_with("..") || skipped_directory(dir.filename().native())) {
        return true;
    }
    std::lock_guard lock(mutex_);
    return ignored_.ignored(rel, true);
}

std::vector<std::string> const& ProjectFollower::patterns() {
    // Read for each question: a file appears seldom, and the patterns file is small.
    std::string text = read_file_content(patterns_file_).value_or(std::string{});
    if (!patterns_read_ || text != patterns_text_) {
        patterns_ = pattern_lines(text);
        patterns_text_ = std::move(text);
        patterns_read_ = true;
    }
    return patterns_;
}

bool ProjectFollower::follows(fs::path const& path) {
    std::string const rel = relative(path);
    if (rel.empty() || rel.starts_with("..")) {
        return false;
    }
    for (fs::path dir = path.parent_path(); dir != root_ && dir.has_relative_path();
         dir = dir.parent_path()) {
        if (skipped_directory(dir.filename().native())) {
            return false;
        }
    }
    std::lock_guard lock(mutex_);
    return !ignored_.ignored(rel, false) && patterns_match(patterns(), rel);
}

void ProjectFollower::watch_tree(fs::path const& dir, bool report_files) {
    if (skipped(dir)) {
        return;
    }
    WatchId const wid = watcher_.add_watch(dir.native(), this, false);
    if (wid < 0) {
        log_line("[ProjectFollower] cannot watch {}: {}", dir.native(), dir_watch_error_text(wid));
        return;
    }
    // What the folder holds is listed before its .gitignore is read: a file listed existed
    // before the read, so the rules read include any written before it. A file created after the
    // listing is judged at its own report, which comes after that of the .gitignore's last write.
    std::vector<fs::directory_entry> listed;
    std::error_code error;
    for (fs::directory_iterator entries(dir, fs::directory_options::skip_permission_denied, error);
         !error && entries != fs::directory_iterator(); entries.increment(error)) {
        listed.push_back(*entries);
    }
    if (dir != root_) {
        read_ignore_file(dir);
    }
    for (fs::directory_entry const& entry : listed) {
        std::error_code status_error;
        if (entry.is_directory(status_error) && !entry.is_symlink(status_error)) {
            watch_tree(entry.path(), report_files);
        } else if (report_files && entry.is_regular_file(status_error)) {
            callbacks_.appeared(entry.path(), follows(entry.path()));
        }
    }
}

void ProjectFollower::handleBatchEnd() {
    if (callbacks_.batch_end) {
        callbacks_.batch_end();
    }
}

void ProjectFollower::handleFileAction(WatchId, std::string const& dir, std::string const& filename,
                                       FileAction action, std::string old_filename) {
    fs::path const path = fs::path(dir) / filename;
    if (filename == ".gitignore" || fs::path(old_filename).filename() == ".gitignore") {
        // Files already tracked stay tracked; what appears from now on is judged by it.
        read_ignore_file(path.parent_path());
    }
    std::error_code error;
    auto const status = fs::symlink_status(path, error);
    if (action == FileActions::Add && fs::is_directory(status)) {
        // Files created in it before its watch began are found by the walk.
        watch_tree(path, true);
        return;
    }
    if (action == FileActions::Moved) {
        fs::path const old_path = fs::path(old_filename).is_absolute()
                                      ? fs::path(old_filename)
                                      : fs::path(dir) / old_filename;
        if (fs::is_directory(status)) {
            watch_tree(path, false);
        }
        callbacks_.moved(old_path, path);
        return;
    }
    if (action == FileActions::Add && fs::is_regular_file(status)) {
        callbacks_.appeared(path, follows(path));
    }
}
