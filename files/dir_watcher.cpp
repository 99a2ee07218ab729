#include "files/dir_watcher.hpp"

#include "app/log.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Every directory descriptor asks for the same events, so that adding a directory that is already
// watched (by another watch, or twice) leaves the kernel's watch as it was.
constexpr std::uint32_t kEventMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                     IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_EXCL_UNLINK | IN_ONLYDIR;

// A completed write is reported when the writer closes the file. A writer that keeps the file open
// (a log appender) is reported once it has been quiet this long, once per burst of writes.
constexpr auto kQuietPeriod = std::chrono::milliseconds(500);

// The two halves of a rename are queued one after the other, but the reader may see the first
// before the second has been queued; a lone first half waits this long before it counts as a
// move out of the watched tree.
constexpr auto kMovePairWait = std::chrono::milliseconds(20);

constexpr std::size_t kReadBufferBytes = 64 * 1024;

// The device and inode of the directory at `path`, if there is one.
std::optional<std::pair<dev_t, ino_t>> directory_identity(std::string const& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return std::nullopt;
    }
    return std::pair{status.st_dev, status.st_ino};
}

WatchId error_of(int err) {
    switch (err) {
        case ENOENT:
            return DirWatchErrors::MissingDirectory;
        case EACCES:
        case EPERM:
            return DirWatchErrors::NotReadable;
        case ENOSPC:
        case EMFILE:
            return DirWatchErrors::WatchLimitReached;
        case ENOTDIR:
            return DirWatchErrors::NotADirectory;
        default:
            return DirWatchErrors::OtherFailure;
    }
}

std::string child_rel(std::string const& rel, std::string const& name) {
    return rel.empty() ? name : rel + '/' + name;
}

bool starts_with(std::string const& text, std::string const& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Whether the relative path `rel` is `top` itself or lies below it.
bool within(std::string const& rel, std::string const& top) {
    return top.empty() || rel == top || (starts_with(rel, top) && rel[top.size()] == '/');
}

bool is_directory_entry(std::string const& dir, dirent const* entry) {
    if (entry->d_type != DT_UNKNOWN) {
        return entry->d_type == DT_DIR;
    }
    struct stat status {};
    return lstat((dir + entry->d_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string dir_watch_error_text(WatchId error) {
    switch (error) {
        case DirWatchErrors::MissingDirectory:
            return "missing directory";
        case DirWatchErrors::NotReadable:
            return "directory not readable";
        case DirWatchErrors::WatchLimitReached:
            return "system watch limit reached";
        case DirWatchErrors::NotADirectory:
            return "not a directory";
        default:
            return "watch failed";
    }
}

class DirWatcher::Impl {
public:
    Impl();
    ~Impl();

    WatchId add_watch(std::string const& directory, DirWatchListener* listener, bool recursive);
    void watch();
    bool sync(std::chrono::milliseconds bound);
    void quiet_open_writes(WatchId id, std::string const& kept);

private:
    // One add_watch: its root as given and the kernel descriptor of every directory it covers.
    struct Watch {
        WatchId id = 0;
        std::string root;
        DirWatchListener* listener = nullptr;
        bool recursive = false;
        std::map<std::string, int> wd_of;  // relative path ("" for the root) -> descriptor
        std::unordered_map<int, std::string> rel_of;
        // The root directory's device and inode when the watch began.
        std::optional<std::pair<dev_t, ino_t>> root_identity;

        std::string dir_text(std::string const& rel) const {
            std::string dir = root;
            if (dir.empty() || dir.back() != '/') {
                dir += '/';
            }
            return rel.empty() ? dir : dir + rel + '/';
        }
    };

    struct Notice {
        DirWatchListener* listener;
        WatchId id;
        std::string dir;
        std::string name;
        FileAction action;
        std::string old_name;
    };

    struct MoveFrom {
        int wd;
        std::uint32_t cookie;
        std::string name;
        bool is_dir;
        Clock::time_point deadline;
    };

    enum class Walk { Initial, Report, Resync };

    void run();
    void deliver(std::vector<Notice>& notices);
    int poll_timeout_ms() const;
    void process(inotify_event const& event, std::vector<Notice>& out);
    void moved(MoveFrom const& from, int to_wd, std::string const& to_name,
               std::vector<Notice>& out);
    void appeared(Watch& watch, int wd, std::string const& name, bool is_dir,
                  std::vector<Notice>& out);
    void resolve_move_from(std::vector<Notice>& out);
    void expire_writers(std::vector<Notice>& out);
    // The kept file of a quiet directory: its own writes are watched on its own descriptor.
    void follow_kept_file(int dir_wd);
    // Whether `event` came from a kept file's descriptor (and was taken care of).
    bool kept_file_event(inotify_event const& event);

    // Whether the watch's root still names the directory it watches. A root deleted or moved
    // away, which the watcher has not read yet, names another directory or none: one there gets
    // a watch of its own. Called with mutex_ held.
    bool still_root(Watch const& watch);
    void attach(Watch& watch, std::string const& rel, int wd);
    void detach_subtree(Watch& watch, std::string const& top);
    bool rename_subtree(Watch& watch, std::string const& from, std::string const& to);
    void release(int wd, WatchId id);
    void end_watch(WatchId id, char const* what);
    void add_subdir(Watch& watch, std::string const& rel, std::string const& name,
                    std::vector<Notice>& out);
    WatchId walk(Watch& watch, std::string const& rel, int wd, Walk mode, std::vector<Notice>& out);

    static void notify(std::vector<Notice>& out, Watch const& watch, std::string dir,
                       std::string name, FileAction action, std::string old_name = {}) {
        out.push_back(Notice{watch.listener, watch.id, std::move(dir), std::move(name), action,
                             std::move(old_name)});
    }

    int fd_ = -1;
    int wake_fd_ = -1;
    int init_error_ = 0;
    std::atomic<bool> stop_{false};

    std::mutex mutex_;  // guards everything below
    std::map<WatchId, Watch> watches_;
    std::unordered_map<int, std::vector<WatchId>> users_;  // descriptor -> watches using it
    // Entries that a scan of a new directory reported as Add, so that the kernel's own creation
    // event for them, queued while the scan ran, is not reported a second time. Every such event
    // has been read once the kernel queue is empty, which is when this is cleared.
    std::set<std::tuple<WatchId, int, std::string>> scanned_;
    std::map<std::pair<int, std::string>, Clock::time_point> writing_;
    std::optional<MoveFrom> move_from_;
    // Directories whose open writes are not followed, by descriptor: the directory's text and the
    // name of the file whose writes still are; and that file's own descriptors.
    struct QuietDir {
        std::string dir;
        std::string kept;
    };
    std::unordered_map<int, QuietDir> quiet_dirs_;
    std::unordered_map<int, int> kept_files_;  // file descriptor -> its directory's descriptor
    WatchId next_id_ = 1;
    std::thread thread_;
    // Syncs asked for, and the last one whose changes have all been reported; a request wakes
    // the thread through wake_fd_.
    std::uint64_t syncs_asked_ = 0;
    std::uint64_t syncs_done_ = 0;
    std::condition_variable synced_;
};

DirWatcher::Impl::Impl() {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        init_error_ = errno;
        log_line("[FileListener] cannot start the directory watcher: {}", std::strerror(errno));
        return;
    }
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        init_error_ = errno;
        log_line("[FileListener] cannot start the directory watcher: {}", std::strerror(errno));
        close(fd_);
        fd_ = -1;
    }
}

DirWatcher::Impl::~Impl() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        synced_.notify_all();
    }
    if (thread_.joinable()) {
        std::uint64_t const one = 1;
        [[maybe_unused]] auto const written = write(wake_fd_, &one, sizeof one);
        thread_.join();
    }
    // Closing the inotify descriptor ends every kernel watch.
    if (fd_ >= 0) {
        close(fd_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

WatchId DirWatcher::Impl::add_watch(std::string const& directory, DirWatchListener* listener,
                                    bool recursive) {
    if (listener == nullptr) {
        return DirWatchErrors::OtherFailure;
    }
    std::lock_guard lock(mutex_);
    if (fd_ < 0) {
        return error_of(init_error_);
    }
    for (auto const& [id, watch] : watches_) {
        if (watch.root == directory && watch.listener == listener && watch.recursive == recursive &&
            still_root(watch)) {
            return id;
        }
    }
    int const wd = inotify_add_watch(fd_, directory.c_str(), kEventMask);
    if (wd < 0) {
        return error_of(errno);
    }
    WatchId const id = next_id_++;
    Watch& watch = watches_[id];
    watch.id = id;
    watch.root = directory;
    watch.listener = listener;
    watch.recursive = recursive;
    watch.root_identity = directory_identity(directory);
    attach(watch, "", wd);
    if (recursive) {
        std::vector<Notice> unreported;
        WatchId const error = walk(watch, "", wd, Walk::Initial, unreported);
        if (error < 0) {
            detach_subtree(watch, "");
            watches_.erase(id);
            return error;
        }
    }
    if (!thread_.joinable()) {
        thread_ = std::thread(&Impl::run, this);
    }
    return id;
}

bool DirWatcher::Impl::still_root(Watch const& watch) {
    auto const root = watch.wd_of.find("");
    if (root == watch.wd_of.end()) {
        return false;
    }
    // Asked of the kernel: a directory made anew may have the deleted one's inode number. Adding
    // an event the descriptor has already leaves a watched directory's events as they were.
    int const wd =
        inotify_add_watch(fd_, watch.root.c_str(), IN_MASK_ADD | IN_ONLYDIR | IN_DELETE_SELF);
    return wd == root->second;
}

void DirWatcher::Impl::quiet_open_writes(WatchId id, std::string const& kept) {
    std::lock_guard lock(mutex_);
    auto const found = watches_.find(id);
    if (found == watches_.end() || found->second.wd_of.count("") == 0) {
        return;
    }
    Watch const& watch = found->second;
    int const wd = watch.wd_of.at("");
    if (users_[wd].size() != 1) {
        return;  // another watch may need every write
    }
    std::string const dir = watch.dir_text("");
    int const same = inotify_add_watch(fd_, dir.c_str(), kEventMask & ~IN_MODIFY);
    if (same != wd) {
        if (same >= 0 && users_.count(same) == 0) {
            inotify_rm_watch(fd_, same);  // the directory was replaced meanwhile
        }
        return;
    }
    quiet_dirs_[wd] = QuietDir{dir, kept};
    follow_kept_file(wd);
}

void DirWatcher::Impl::follow_kept_file(int dir_wd) {
    QuietDir const& quiet = quiet_dirs_.at(dir_wd);
    // Added to whatever this watcher already asks of that file, never in place of it.
    int const file_wd =
        inotify_add_watch(fd_, (quiet.dir + quiet.kept).c_str(), IN_MODIFY | IN_MASK_ADD);
    if (file_wd >= 0) {
        kept_files_[file_wd] = dir_wd;
    }
}

bool DirWatcher::Impl::kept_file_event(inotify_event const& event) {
    // A directory's own events name the entry; a file's own events carry no name.
    if (event.len != 0) {
        return false;
    }
    auto const found = kept_files_.find(event.wd);
    if (found == kept_files_.end()) {
        return false;
    }
    if (event.mask & IN_MODIFY) {
        auto const quiet = quiet_dirs_.find(found->second);
        if (quiet != quiet_dirs_.end()) {
            writing_[{found->second, quiet->second.kept}] = Clock::now() + kQuietPeriod;
        }
    }
    if (event.mask & IN_IGNORED) {
        kept_files_.erase(found);  // the file is gone; its successor has a descriptor of its own
    }
    return users_.count(event.wd) == 0;
}

void DirWatcher::Impl::watch() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0 && !thread_.joinable()) {
        thread_ = std::thread(&Impl::run, this);
    }
}

bool DirWatcher::Impl::sync(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
        return false;
    }
    std::uint64_t const wanted = ++syncs_asked_;
    std::uint64_t const one = 1;
    [[maybe_unused]] auto const written = write(wake_fd_, &one, sizeof one);
    synced_.wait_for(lock, bound, [&] { return syncs_done_ >= wanted || stop_; });
    return syncs_done_ >= wanted;
}

void DirWatcher::Impl::run() {
    std::vector<std::uint64_t> storage(kReadBufferBytes / sizeof(std::uint64_t));
    char* const buffer = reinterpret_cast<char*>(storage.data());
    while (!stop_) {
        std::vector<Notice> out;
        bool drained = false;
        int timeout_ms = 0;
        // The syncs asked before this read: done once a read finds the queue empty.
        std::uint64_t syncs_asked = 0;
        {
            std::lock_guard lock(mutex_);
            syncs_asked = syncs_asked_;
            ssize_t const length = read(fd_, buffer, kReadBufferBytes);
            if (length > 0) {
                for (ssize_t offset = 0; offset < length;) {
                    auto const* event = reinterpret_cast<inotify_event const*>(buffer + offset);
                    process(*event, out);
                    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            } else if (length < 0 && errno == EAGAIN) {
                drained = true;
                scanned_.clear();
                if (move_from_ && Clock::now() >= move_from_->deadline) {
                    resolve_move_from(out);
                }
            } else if (length < 0 && errno != EINTR) {
                log_line("[FileListener] directory watcher stopped: {}", std::strerror(errno));
                return;
            }
            expire_writers(out);
            if (drained) {
                timeout_ms = poll_timeout_ms();
            }
        }
        deliver(out);
        if (drained) {
            std::lock_guard lock(mutex_);
            if (syncs_done_ < syncs_asked) {
                syncs_done_ = syncs_asked;
                synced_.notify_all();
            }
        }
        if (drained && !stop_) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            poll(fds, 2, timeout_ms);
            if ((fds[1].revents & POLLIN) != 0 && !stop_) {
                std::uint64_t asked = 0;  // a sync's wake-up, taken
                [[maybe_unused]] auto const taken = read(wake_fd_, &asked, sizeof asked);
            }
        }
    }
}

void DirWatcher::Impl::deliver(std::vector<Notice>& notices) {
    std::vector<DirWatchListener*> reported;
    for (auto& notice : notices) {
        if (stop_) {
            break;
        }
        if (std::find(reported.begin(), reported.end(), notice.listener) == reported.end()) {
            reported.push_back(notice.listener);
        }
        notice.listener->handleFileAction(notice.id, notice.dir, notice.name, notice.action,
                                          std::move(notice.old_name));
    }
    // Also when stopping: what a listener set aside during the batch is settled before the end.
    for (DirWatchListener* listener : reported) {
        listener->handleBatchEnd();
    }
}

int DirWatcher::Impl::poll_timeout_ms() const {
    std::optional<Clock::time_point> next;
    if (move_from_) {
        next = move_from_->deadline;
    }
    for (auto const& [file, deadline] : writing_) {
        if (!next || deadline < *next) {
            next = deadline;
        }
    }
    if (!next) {
        return -1;
    }
    auto const wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
}

void DirWatcher::Impl::process(inotify_event const& event, std::vector<Notice>& out) {
    if (kept_file_event(event)) {
        return;
    }
    std::string const name = event.len > 0 ? std::string(event.name) : std::string();
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
        // A new kept file of a quiet directory: its writes are followed from now on.
        if (auto const quiet = quiet_dirs_.find(event.wd);
            quiet != quiet_dirs_.end() && quiet->second.kept == name) {
            follow_kept_file(event.wd);
        }
    }
    if (event.mask & IN_Q_OVERFLOW) {
        resolve_move_from(out);
        log_line("[FileListener] the kernel's event queue overflowed: file changes were lost");
        // New subdirectories whose creation was lost would otherwise stay unwatched.
        for (auto& [id, watch] : watches_) {
            if (watch.recursive) {
                walk(watch, "", watch.wd_of.at(""), Walk::Resync, out);
            }
        }
        return;
    }
    bool const completes_move =
        (event.mask & IN_MOVED_TO) && move_from_ && move_from_->cookie == event.cookie;
    if (completes_move) {
        MoveFrom const from = *move_from_;
        move_from_.reset();
        moved(from, event.wd, name, out);
        return;
    }
    resolve_move_from(out);

    auto const found = users_.find(event.wd);
    if (found == users_.end()) {
        return;
    }
    std::vector<WatchId> const ids = found->second;
    if (event.mask & IN_IGNORED) {
        // The kernel dropped the descriptor: its directory is gone or unmounted.
        for (WatchId id : ids) {
            auto const watch = watches_.find(id);
            if (watch == watches_.end()) {
                continue;
            }
            std::string const rel = watch->second.rel_of.at(event.wd);
            if (rel.empty()) {
                end_watch(id, "is no longer available");
            } else {
                detach_subtree(watch->second, rel);
            }
        }
        return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        // Below a root the parent directory reports the change; a root itself ends its watch. A
        // directory renamed and watched again under its new name has one descriptor for both
        // watches: the move, read after the new watch began, ends only the watch whose root no
        // longer names the directory.
        for (WatchId id : ids) {
            auto const watch = watches_.find(id);
            if (watch == watches_.end() || !watch->second.rel_of.at(event.wd).empty()) {
                continue;
            }
            if ((event.mask & IN_MOVE_SELF) && watch->second.root_identity &&
                directory_identity(watch->second.root) == watch->second.root_identity) {
                continue;
            }
            end_watch(id, (event.mask & IN_DELETE_SELF) ? "was deleted" : "was moved");
        }
        return;
    }
    bool const is_dir = event.mask & IN_ISDIR;
    if (event.mask & IN_MOVED_FROM) {
        writing_.erase({event.wd, name});
        move_from_ = MoveFrom{event.wd, event.cookie, name, is_dir, Clock::now() + kMovePairWait};
        return;
    }
    if (event.mask & IN_MODIFY) {
        writing_[{event.wd, name}] = Clock::now() + kQuietPeriod;
        return;
    }
    if (event.mask & (IN_CLOSE_WRITE | IN_DELETE)) {
        writing_.erase({event.wd, name});
    }
    for (WatchId id : ids) {
        auto const found_watch = watches_.find(id);
        if (found_watch == watches_.end()) {
            continue;
        }
        Watch& watch = found_watch->second;
        std::string const rel = watch.rel_of.at(event.wd);
        if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
            appeared(watch, event.wd, name, is_dir, out);
        } else if (event.mask & IN_DELETE) {
            scanned_.erase({id, event.wd, name});
            notify(out, watch, watch.dir_text(rel), name, FileActions::Delete);
            if (is_dir) {
                detach_subtree(watch, child_rel(rel, name));
            }
        } else if (event.mask & IN_CLOSE_WRITE) {
            scanned_.erase({id, event.wd, name});
            notify(out, watch, watch.dir_text(rel), name, FileActions::Modified);
        }
    }
}

void DirWatcher::Impl::appeared(Watch& watch, int wd, std::string const& name, bool is_dir,
                                std::vector<Notice>& out) {
    if (scanned_.erase({watch.id, wd, name}) > 0) {
        return;
    }
    std::string const rel = watch.rel_of.at(wd);
    notify(out, watch, watch.dir_text(rel), name, FileActions::Add);
    if (is_dir && watch.recursive) {
        add_subdir(watch, rel, name, out);
    }
}

void DirWatcher::Impl::moved(MoveFrom const& from, int to_wd, std::string const& to_name,
                             std::vector<Notice>& out) {
    auto users_of = [this](int wd) {
        auto const found = users_.find(wd);
        return found == users_.end() ? std::vector<WatchId>{} : found->second;
    };
    std::vector<WatchId> const from_ids = users_of(from.wd);
    std::vector<WatchId> const to_ids = users_of(to_wd);
    writing_.erase({from.wd, from.name});
    for (WatchId id : from_ids) {
        auto const found = watches_.find(id);
        if (found == watches_.end()) {
            continue;
        }
        Watch& watch = found->second;
        std::string const from_rel = watch.rel_of.at(from.wd);
        scanned_.erase({id, from.wd, from.name});
        if (std::find(to_ids.begin(), to_ids.end(), id) == to_ids.end()) {
            // Moved out of this watch's tree.
            notify(out, watch, watch.dir_text(from_rel), from.name, FileActions::Delete);
            if (from.is_dir) {
                detach_subtree(watch, child_rel(from_rel, from.name));
            }
            continue;
        }
        scanned_.erase({id, to_wd, to_name});
        std::string const to_rel = watch.rel_of.at(to_wd);
        std::string old_name = from.wd == to_wd ? from.name : watch.dir_text(from_rel) + from.name;
        notify(out, watch, watch.dir_text(to_rel), to_name, FileActions::Moved,
               std::move(old_name));
        if (from.is_dir && watch.recursive &&
            !rename_subtree(watch, child_rel(from_rel, from.name), child_rel(to_rel, to_name))) {
            // It was never watched (it vanished before its watch could be added): do it now.
            add_subdir(watch, to_rel, to_name, out);
        }
    }
    for (WatchId id : to_ids) {
        auto const found = watches_.find(id);
        if (found != watches_.end() &&
            std::find(from_ids.begin(), from_ids.end(), id) == from_ids.end()) {
            appeared(found->second, to_wd, to_name, from.is_dir, out);
        }
    }
}

void DirWatcher::Impl::resolve_move_from(std::vector<Notice>& out) {
    if (!move_from_) {
        return;
    }
    MoveFrom const from = *move_from_;
    move_from_.reset();
    auto const found = users_.find(from.wd);
    if (found == users_.end()) {
        return;
    }
    std::vector<WatchId> const ids = found->second;
    for (WatchId id : ids) {
        auto const watch = watches_.find(id);
        if (watch == watches_.end()) {
            continue;
        }
        std::string const rel = watch->second.rel_of.at(from.wd);
        scanned_.erase({id, from.wd, from.name});
        notify(out, watch->second, watch->second.dir_text(rel), from.name, FileActions::Delete);
        if (from.is_dir) {
            detach_subtree(watch->second, child_rel(rel, from.name));
        }
    }
}

void DirWatcher::Impl::expire_writers(std::vector<Notice>& out) {
    auto const now = Clock::now();
    for (auto it = writing_.begin(); it != writing_.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        auto const [wd, name] = it->first;
        it = writing_.erase(it);
        auto const found = users_.find(wd);
        if (found == users_.end()) {
            continue;
        }
        for (WatchId id : found->second) {
            Watch const& watch = watches_.at(id);
            notify(out, watch, watch.dir_text(watch.rel_of.at(wd)), name, FileActions::Modified);
        }
    }
}

void DirWatcher::Impl::attach(Watch& watch, std::string const& rel, int wd) {
    if (watch.wd_of.count(rel) > 0) {
        // A descriptor left behind by a directory whose removal went unreported (overflow).
        detach_subtree(watch, rel);
    }
    watch.wd_of[rel] = wd;
    watch.rel_of[wd] = rel;
    auto& ids = users_[wd];
    if (std::find(ids.begin(), ids.end(), watch.id) == ids.end()) {
        ids.push_back(watch.id);
    }
}

void DirWatcher::Impl::detach_subtree(Watch& watch, std::string const& top) {
    for (auto it = watch.wd_of.lower_bound(top);
         it != watch.wd_of.end() && starts_with(it->first, top);) {
        if (!within(it->first, top)) {
            ++it;
            continue;
        }
        watch.rel_of.erase(it->second);
        release(it->second, watch.id);
        it = watch.wd_of.erase(it);
    }
}

bool DirWatcher::Impl::rename_subtree(Watch& watch, std::string const& from,
                                      std::string const& to) {
    if (watch.wd_of.count(from) == 0) {
        return false;
    }
    // A directory renamed over an empty one replaces it.
    detach_subtree(watch, to);
    std::vector<std::pair<std::string, int>> moved;
    for (auto it = watch.wd_of.lower_bound(from);
         it != watch.wd_of.end() && starts_with(it->first, from);) {
        if (!within(it->first, from)) {
            ++it;
            continue;
        }
        moved.emplace_back(to + it->first.substr(from.size()), it->second);
        it = watch.wd_of.erase(it);
    }
    for (auto const& [rel, wd] : moved) {
        watch.wd_of[rel] = wd;
        watch.rel_of[wd] = rel;
    }
    return true;
}

void DirWatcher::Impl::release(int wd, WatchId id) {
    auto const found = users_.find(wd);
    if (found == users_.end()) {
        return;
    }
    auto& ids = found->second;
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    if (ids.empty()) {
        users_.erase(found);
        quiet_dirs_.erase(wd);
        // Fails harmlessly when the kernel has already dropped the descriptor.
        inotify_rm_watch(fd_, wd);
    }
}

void DirWatcher::Impl::end_watch(WatchId id, char const* what) {
    auto const found = watches_.find(id);
    if (found == watches_.end()) {
        return;
    }
    log_line("[FileListener] watched directory {} {}, watch {} ended", found->second.root, what,
             id);
    detach_subtree(found->second, "");
    watches_.erase(found);
}

void DirWatcher::Impl::add_subdir(Watch& watch, std::string const& rel, std::string const& name,
                                  std::vector<Notice>& out) {
    std::string const path = watch.dir_text(rel) + name;
    int const wd = inotify_add_watch(fd_, path.c_str(), kEventMask | IN_DONT_FOLLOW);
    if (wd < 0) {
        // A directory already gone again is reported by its own deletion or move.
        if (errno != ENOENT && errno != ENOTDIR) {
            log_line("[FileListener] cannot watch directory {}: {}", path,
                     dir_watch_error_text(error_of(errno)));
        }
        return;
    }
    if (watch.rel_of.count(wd) > 0) {
        return;  // already watched here, or the same directory reached a second way
    }
    std::string const sub = child_rel(rel, name);
    attach(watch, sub, wd);
    walk(watch, sub, wd, Walk::Report, out);
}

WatchId DirWatcher::Impl::walk(Watch& watch, std::string const& rel, int wd, Walk mode,
                               std::vector<Notice>& out) {
    std::string const dir = watch.dir_text(rel);
    std::vector<std::pair<std::string, bool>> entries;
    if (DIR* stream = opendir(dir.c_str())) {
        while (dirent const* entry = readdir(stream)) {
            std::string const name = entry->d_name;
            if (name != "." && name != "..") {
                entries.emplace_back(name, is_directory_entry(dir, entry));
            }
        }
        closedir(stream);
    }
    for (auto const& [name, is_dir] : entries) {
        if (mode == Walk::Report) {
            notify(out, watch, dir, name, FileActions::Add);
            scanned_.emplace(watch.id, wd, name);
        }
        if (!is_dir || !watch.recursive) {
            continue;
        }
        std::string const path = dir + name;
        std::string const sub = child_rel(rel, name);
        int const sub_wd = inotify_add_watch(fd_, path.c_str(), kEventMask | IN_DONT_FOLLOW);
        if (sub_wd < 0) {
            int const err = errno;
            if (mode == Walk::Initial && err == ENOSPC) {
                return DirWatchErrors::WatchLimitReached;
            }
            if (err != ENOENT && err != ENOTDIR) {
                log_line("[FileListener] cannot watch directory {}: {}", path,
                         dir_watch_error_text(error_of(err)));
            }
            continue;
        }
        auto const known = watch.rel_of.find(sub_wd);
        if (known != watch.rel_of.end() && known->second != sub) {
            continue;  // the same directory reached a second way (a bind mount)
        }
        if (known == watch.rel_of.end()) {
            attach(watch, sub, sub_wd);
        }
        WatchId const error = walk(watch, sub, sub_wd, mode, out);
        if (error < 0) {
            return error;
        }
    }
    return 0;
}

DirWatcher::DirWatcher() : impl_(std::make_unique<Impl>()) {}

DirWatcher::~DirWatcher() = default;

WatchId DirWatcher::add_watch(std::string const& directory, DirWatchListener* listener,
                              bool recursive) {
    return impl_->add_watch(directory, listener, recursive);
}

void DirWatcher::watch() {
    impl_->watch();
}

bool DirWatcher::sync(std::chrono::milliseconds bound) {
    return impl_->sync(bound);
}

void DirWatcher::quiet_open_writes(WatchId id, std::string const& kept) {
    impl_->quiet_open_writes(id, kept);
}
