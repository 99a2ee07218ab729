#include "files/file_listener.hpp"

#include "app/log.hpp"
#include "app/private_files.hpp"
#include "events/file_id.hpp"

namespace fs = std::filesystem;

FileListener::FileListener(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env)
    : ISupervisor(bus, db, ibuf, env) {}

FileListener::~FileListener() {
    // The handlers go before the watcher; a lookup still running on the bus worker sees either
    // the whole registry or none of it.
    std::lock_guard lock(mutex_);
    handlers_.clear();
}

void FileListener::start() {
    log_line("[FileListener] started");
    watcher_.watch();
}

void FileListener::stop() {
    // Only the flag: the watches stay and their changes are still delivered.
    running_.exchange(false);
    log_line("[FileListener] stopped");
}

void FileListener::handleFileAction(WatchId watchid, std::string const& dir,
                                    std::string const& filename, FileAction action,
                                    std::string old_filename) {
    if (watchid == set_aside_wid_.load(std::memory_order_acquire) && filename != set_aside_kept_ &&
        dir == set_aside_dir_) {
        return;
    }
    publish_file_event(watchid, dir, filename, action, std::move(old_filename));
}

void FileListener::report(fs::path const& path, FileAction action) {
    WatchId wid = 0;
    {
        std::lock_guard lock(mutex_);
        if (auto const entry = find_covering(path); entry != handlers_.end()) {
            wid = entry->second.wid;
        }
    }
    publish_file_event(wid, path.parent_path().native() + '/', path.filename().native(), action,
                       {});
}

bool FileListener::watch_again(fs::path const& path) {
    std::lock_guard lock(mutex_);
    auto const entry = handlers_.find(path.native());
    if (entry == handlers_.end() || entry->second.recursive) {
        return false;
    }
    // The same id while the old watch lasts; a new one once it has ended.
    WatchId const old_wid = entry->second.wid;
    WatchId const wid = watcher_.add_watch(path.parent_path().native(), this, false);
    if (wid == old_wid || wid < 0) {
        return false;
    }
    for (auto& [key, data] : handlers_) {
        if (data.wid == old_wid && !data.recursive) {
            data.wid = wid;
        }
    }
    log_line("[FileListener] watching directory {} again (recursive=false)",
             path.parent_path().native());
    return true;
}

void FileListener::publish_file_event(WatchId watchid, std::string const& dir,
                                      std::string const& filename, FileAction action,
                                      std::string old_filename) {
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.timestamp = now_timestamp();
    event.wid = watchid;
    event.action = action;
    event.directory = dir;
    event.filepath = (fs::path(dir) / fs::path(filename)).native();
    event.fid = file_id_of(event.filepath);
    event.old_filepath = std::move(old_filename);
    event.incident_type = Incident::Types::NONE;
    publish(Event{std::in_place_type<FileEvent>, std::move(event)});
}

void FileListener::handle(Event event) {
    FileEvent& file_event = std::get<FileEvent>(event);
    std::function<void(FileEvent&)> handler;
    {
        std::lock_guard lock(mutex_);
        auto entry = find_covering(fs::path(file_event.filepath));
        std::error_code error;
        if (entry == handlers_.end() && file_event.action == FileActions::Moved &&
            !file_event.old_filepath.empty() &&
            !fs::is_directory(fs::symlink_status(file_event.filepath, error))) {
            // A watched name renamed: its handler hears of the new name, before any later change
            // under that name.
            entry = find_covering(fs::path(file_event.directory) / file_event.old_filepath);
        }
        if (entry == handlers_.end()) {
            return;
        }
        // A copy, so that the handler may change the registry, its own entry included.
        handler = entry->second.handler;
    }
    handler(file_event);
}

WatchId FileListener::watch_existing(fs::path const& path, std::function<void(FileEvent&)> handler,
                                     bool recursive) {
    std::lock_guard lock(mutex_);
    return watch_directory(path, recursive, std::move(handler));
}

WatchId FileListener::watch_directory(fs::path const& path, bool recursive,
                                      std::function<void(FileEvent&)> handler) {
    if (auto const covering = find_covering(path); covering != handlers_.end()) {
        return covering->second.wid;
    }
    WatchId const wid = watcher_.add_watch(path.native(), this, recursive);
    add_entry(path, handler_data{recursive, wid, std::move(handler)});
    log_line("[FileListener] watching directory {} (recursive={})", path.native(), recursive);
    return wid;
}

WatchId FileListener::watch_creating(fs::path const& path, std::function<void(FileEvent&)> handler,
                                     bool is_dir) {
    std::lock_guard lock(mutex_);
    if (auto const covering = find_covering(path); covering != handlers_.end()) {
        return covering->second.wid;
    }
    if (!fs::exists(fs::status(path))) {
        if (is_dir) {
            bool const created = fs::create_directories(path);
            log_line("[FileListener] creating directory {} success={}", path.native(), created);
        } else {
            if (path.has_parent_path()) {
                fs::create_directories(path.parent_path());
            }
            // Made without emptying one that appeared meanwhile, and for its owner alone: the
            // files the monitor makes name the programmer's files.
            create_private_file(path);
            log_line("[FileListener] creating file {}", path.native());
        }
    }
    if (fs::is_directory(path)) {
        WatchId const wid = watch_directory(path, true, handler);
        log_line("[FileListener] watching pathprefix {} (recursive=true)", path.native());
        return wid;
    }
    return add_file_entry(path, std::move(handler));
}

WatchId FileListener::watch_file(fs::path const& path, std::function<void(FileEvent&)> handler) {
    std::lock_guard lock(mutex_);
    if (auto const covering = find_covering(path); covering != handlers_.end()) {
        return covering->second.wid;
    }
    return add_file_entry(path, std::move(handler));
}

WatchId FileListener::add_file_entry(fs::path const& path,
                                     std::function<void(FileEvent&)> handler) {
    WatchId const wid = watch_directory(path.parent_path(), false, handler);
    add_entry(path, handler_data{false, wid, std::move(handler)});
    log_line("[FileListener] watching pathprefix {} (recursive=false)", path.native());
    return wid;
}

void FileListener::set_aside(WatchId wid, fs::path const& directory, std::string kept) {
    std::string dir = directory.native();
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    {
        std::lock_guard lock(mutex_);
        set_aside_dir_ = std::move(dir);
        set_aside_kept_ = kept;
        set_aside_wid_.store(wid, std::memory_order_release);
    }
    // What is set aside need not wake the watcher while it is being written.
    watcher_.quiet_open_writes(wid, kept);
}

void FileListener::unwatch(fs::path const& path) {
    std::lock_guard lock(mutex_);
    if (auto const entry = first_with_prefix(path.native()); entry != handlers_.end()) {
        erase_entry(entry);
        log_line("[FileListener] unwatching pathprefix {}", path.native());
    }
}

bool FileListener::has_entry_with_prefix(fs::path const& path) {
    std::lock_guard lock(mutex_);
    return first_with_prefix(path.native()) != handlers_.end();
}

std::optional<FileListener::Entry> FileListener::find_if_already_watched(fs::path const& path) {
    std::lock_guard lock(mutex_);
    auto const entry = find_covering(path);
    if (entry == handlers_.end()) {
        return std::nullopt;
    }
    return Entry{fs::path(entry->first), entry->second};
}

void FileListener::add_entry(fs::path const& path, handler_data data) {
    bool const recursive = data.recursive;
    auto const [entry, added] = handlers_.emplace(path.native(), std::move(data));
    if (added && recursive) {
        recursive_.push_back(entry);
    }
}

void FileListener::erase_entry(Registry::iterator entry) {
    std::erase(recursive_, entry);
    handlers_.erase(entry);
}

FileListener::Registry::iterator FileListener::first_with_prefix(std::string const& prefix) {
    auto const entry = handlers_.lower_bound(prefix);
    if (entry != handlers_.end() && entry->first.starts_with(prefix)) {
        return entry;
    }
    return handlers_.end();
}

FileListener::Registry::iterator FileListener::find_covering(fs::path const& path) {
    if (auto const exact = handlers_.find(path.native()); exact != handlers_.end()) {
        return exact;
    }
    for (auto const entry : recursive_) {
        if (get_contained_depth(fs::path(entry->first), path)) {
            return entry;
        }
    }
    return handlers_.end();
}

std::optional<int> FileListener::get_contained_depth(fs::path const& a, fs::path const& b) {
    if (!path_contains_or_contained(a, b)) {
        return std::nullopt;
    }
    bool const b_below = b.native().size() >= a.native().size();
    fs::path const& top = b_below ? a : b;
    fs::path p = b_below ? b : a;
    int levels = 0;
    while (p != top) {
        // A text prefix that is no ancestor (/p/src2 beside /p/src) never meets the top: the
        // walk ends at the root or the empty path, and the two are unrelated.
        fs::path parent = p.parent_path();
        if (p.empty() || parent == p) {
            return std::nullopt;
        }
        p = std::move(parent);
        ++levels;
    }
    return b_below ? levels : -levels;
}

bool FileListener::path_contains(fs::path const& a, fs::path const& b) {
    auto const& outer = a.native();
    auto const& inner = b.native();
    return inner.size() >= outer.size() && inner.compare(0, outer.size(), outer) == 0;
}

bool FileListener::path_contains_or_contained(fs::path const& a, fs::path const& b) {
    return path_contains(a, b) || path_contains(b, a);
}

bool FileListener::parent_path_of(fs::path const& a, fs::path const& b) {
    return path_contains(a, b);
}

bool FileListener::child_path_of(fs::path const& a, fs::path const& b) {
    return path_contains(b, a);
}
