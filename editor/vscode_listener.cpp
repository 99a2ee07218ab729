#include "editor/vscode_listener.hpp"

#include "app/file_content.hpp"
#include "app/log.hpp"
#include "app/startup_error.hpp"
#include "editor/document_text.hpp"
#include "editor/filemap.hpp"
#include "editor/line_framer.hpp"
#include "editor/listen_socket.hpp"
#include "store/recorded_content.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <limits>
#include <map>
#include <vector>

namespace {

constexpr std::size_t READ_SIZE = 4096;
constexpr std::uint64_t NO_POSITION = std::numeric_limits<std::uint64_t>::max();
// Descriptors kept for everything but editor connections: the database and its journal, the file
// map, the watched files, the log.
constexpr std::size_t kReservedDescriptors = 64;
// How long the accept loop rests when not even a spare descriptor is left.
constexpr int kShedPauseMs = 100;

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

VSCodeListener::VSCodeListener(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env,
                               std::string socket_path)
    : ISupervisor(bus, db, ibuf, env), tracked_map_(env_.datapath / "tracked") {
    ListenSocket const socket = open_listen_socket(socket_path);
    server_fd_ = socket.server_fd;
    wake_pipe_[0] = socket.wake_read;
    wake_pipe_[1] = socket.wake_write;
    socket_path_ = socket.path;
    socket_device_ = socket.device;
    socket_inode_ = socket.inode;
    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Connections never take the descriptors the database and the file map need.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        auto const usable = static_cast<std::size_t>(limit.rlim_cur);
        max_connections_ = usable > 2 * kReservedDescriptors ? usable - kReservedDescriptors
                                                             : std::max<std::size_t>(usable / 2, 1);
    }
    log_line("[VSCodeListener] initialized");
}

VSCodeListener::~VSCodeListener() {
    close_connections();
    close_fd(server_fd_);
    close_fd(wake_pipe_[0]);
    close_fd(wake_pipe_[1]);
    close_fd(spare_fd_);
}

void VSCodeListener::prime() {
    FileMap map;
    try {
        map = parse_filemap(tracked_map_, env_.rootpath);
    } catch (FileMapError const& error) {
        log_line("[VSCodeListener] error: {}", error.what());
        throw StartupError("file map unreadable");
    }
    // The record is read once for every file: a read per file would make start-up quadratic.
    std::vector<std::filesystem::path> files;
    files.reserve(map.size());
    for (auto const& [fid, data] : map) {
        files.push_back(data.filepath);
    }
    std::map<std::filesystem::path, std::string> recorded = recorded_contents(env_.dbpath, files);
    for (auto const& [fid, data] : map) {
        std::optional<std::string> const read = read_project_file(data.filepath, env_.rootpath);
        if (auto const found = recorded.find(data.filepath); read && found != recorded.end()) {
            record_changes_between_runs(data.filepath, *read, found->second);
        }
        // An unreadable file is mirrored as empty, like a file that has no content yet.
        std::string const content = read.value_or(std::string{});
        // The starting point from which the stored edits rebuild the file.
        std::uint64_t const place = ibuf_.set_filecontent(data.filepath, content);
        ibuf_.update(data.filepath);
        db_.store_snapshot(data.filepath.native(), file_id_of(data.filepath), SnapshotReason::START,
                           content, place);
        log_line("[VSCodeListener] updated insertion buffer for {} with size={}",
                 data.filepath.native(), content.size());
    }
}

void VSCodeListener::record_changes_between_runs(std::filesystem::path const& path,
                                                 std::string const& disk, std::string recorded) {
    if (recorded == disk) {
        return;
    }
    log_line("[VSCodeListener] {} changed while no monitor ran", path.native());
    // The line diff from the recorded content, as for a fast insertion seen live.
    ibuf_.set_filecontent(path, std::move(recorded));
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.timestamp = now_timestamp();
    event.action = FileActions::Modified;
    event.directory = path.parent_path().native();
    event.filepath = path.native();
    event.fid = file_id_of(path);
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    event.incident_type = Incident::Types::FAST_INSERTION;
    event.diff = ibuf_.diff_filecontent(path, disk);
    db_.store(std::move(event));
}

void VSCodeListener::start() {
    log_line("[VSCodeListener] started");
    if (!should_run()) {
        log_line("[VSCodeListener] quitting...");
        return;
    }
    while (true) {
        auto const [stop_requested, pending] = get_conn_status();
        if (stop_requested) {
            log_line("[VSCodeListener] server shuttting down...");
            {
                // has_open_connection looks at the socket from other threads.
                std::lock_guard lock(readers_mutex_);
                close_fd(server_fd_);
            }
            remove_socket_if_ours();
            return;
        }
        if (pending) {
            accept_connection();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (!should_run()) {
            log_line("[VSCodeListener] quitting...");
            return;
        }
    }
}

void VSCodeListener::stop() {
    running_.exchange(false);
    char const wake = 1;
    ssize_t written;
    do {
        written = ::write(wake_pipe_[1], &wake, 1);
    } while (written < 0 && errno == EINTR);
    // A full pipe (EAGAIN) already holds a wake-up.
    log_line("[VSCodeListener] stopped");
}

std::pair<bool, bool> VSCodeListener::get_conn_status() {
    waits_.fetch_add(1);
    fd_set readable;
    int result;
    do {
        FD_ZERO(&readable);
        FD_SET(server_fd_, &readable);
        FD_SET(wake_pipe_[0], &readable);
        result =
            ::select(std::max(server_fd_, wake_pipe_[0]) + 1, &readable, nullptr, nullptr, nullptr);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return {false, false};
    }
    bool const pending = FD_ISSET(server_fd_, &readable);
    bool const stop_requested = FD_ISSET(wake_pipe_[0], &readable) && !pending;
    return {stop_requested, pending};
}

int VSCodeListener::accept_once() {
    int fd;
    do {
        fd = ::accept4(server_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void VSCodeListener::begin_shedding() {
    if (!shedding_) {
        shedding_ = true;
        // Accepting resumes once a quarter of the connections have ended, not at the first one
        // to end, so that a full table makes one episode instead of many.
        resume_below_ = open_connections_.load() * 3 / 4;
        log_line(
            "[VSCodeListener] error: out of file descriptors ({} connections open): new "
            "connections are closed at once until some end",
            open_connections_.load());
    }
}

void VSCodeListener::shed_connection() {
    begin_shedding();
    // The spare descriptor makes room to take the excess connection off the backlog and close
    // it; without it the connection would stay pending and wake the accept loop at once, again
    // and again.
    if (spare_fd_ >= 0) {
        close_fd(spare_fd_);
        int const fd = accept_once();
        if (fd >= 0) {
            ::close(fd);
        }
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (spare_fd_ < 0) {
        // No room even for that: wait a little, for a stop request or for descriptors to free up.
        pollfd wake{wake_pipe_[0], POLLIN, 0};
        ::poll(&wake, 1, kShedPauseMs);
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void VSCodeListener::accept_connection() {
    std::size_t const open = open_connections_.load();
    if (open >= max_connections_ || (shedding_ && open > resume_below_)) {
        shed_connection();
        return;
    }
    int const fd = accept_once();
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            shed_connection();
        } else {
            log_line("[VSCodeListener] could not accept connection");
        }
        return;
    }
    if (shedding_) {
        shedding_ = false;
        log_line("[VSCodeListener] accepting connections again");
    }
    log_line("[VSCodeListener] extension connected successfully");

    std::vector<std::thread> ended;
    {
        std::lock_guard lock(readers_mutex_);
        if (closing_) {
            ::close(fd);
            return;
        }
        open_connections_.fetch_add(1);
        // Readers of closed connections are collected here, so the list stays as long as the
        // number of open connections.
        for (auto it = readers_.begin(); it != readers_.end();) {
            if (it->finished) {
                ended.push_back(std::move(it->thread));
                it = readers_.erase(it);
            } else {
                ++it;
            }
        }
        Reader& reader = readers_.emplace_back();
        reader.fd = fd;
        reader.thread = std::thread([this, entry = &reader, fd] { serve(entry, fd); });
    }
    for (auto& thread : ended) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void VSCodeListener::serve(Reader* reader, int fd) {
    pthread_setname_np(pthread_self(), "wardlet-editor");
    try {
        read_messages(fd);
    } catch (std::exception const& error) {
        log_line("[VSCodeListener] connection ended by an error: {}", error.what());
    }
    {
        // Closed under the lock, so that close_connections never shuts down a reused number.
        std::lock_guard lock(readers_mutex_);
        ::close(fd);
        reader->fd = -1;
        reader->finished = true;
        open_connections_.fetch_sub(1);
    }
    log_line("[VSCodeListener] extension disconnected");
}

void VSCodeListener::read_messages(int fd) {
    LineFramer framer;
    char buffer[READ_SIZE];
    std::vector<Event> ready;
    while (true) {
        ssize_t const count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        std::size_t const dropped_before = framer.dropped_lines();
        ReadLookups lookups(filemap_cache_);
        for (std::string const& line :
             framer.feed(std::string_view(buffer, static_cast<std::size_t>(count)))) {
            try {
                process_line(line, ready, lookups);
            } catch (...) {
                // The messages before the failing one were received: they are recorded.
                bus_.publish_events(ready);
                throw;
            }
        }
        // The messages of one read go to the bus together, delivered on this thread when the
        // bus is idle: a keystroke is stored and committed without waking another thread, and a
        // burst's rows go to the database's writer without a hand-off to the bus's worker.
        bus_.publish_events(ready, EventBus::Delivery::here_when_idle);
        ready.clear();
        if (framer.dropped_lines() != dropped_before) {
            log_line("[VSCodeListener] message longer than {} bytes dropped",
                     LineFramer::DEFAULT_CAP);
        }
    }
}

void VSCodeListener::process_line(std::string const& line, std::vector<Event>& out,
                                  ReadLookups& lookups) {
    log_line("[VSCodeListener] received:: {}", line);
    VSCodeEvent event;
    try {
        event = parse_message(line);
    } catch (nlohmann::json::exception const& error) {
        log_line("[VSCodeListener] message rejected: {}", error.what());
        return;
    } catch (BadChangeMessage const& error) {
        log_line("[VSCodeListener] message rejected: {}", error.what());
        return;
    }
    event.fid = lookups.file_id(event.filepath);
    if (event.change_type == MessageKind::RENAME && rename_follower_ &&
        !event.old_filepath.empty()) {
        rename_follower_(event.old_filepath, event.filepath);
        lookups.forget();
    }
    if (event.first_save && first_save_follower_) {
        first_save_follower_(event.filepath);
        lookups.forget();
    }
    mark_if_in_current_filemap(event, lookups);

    std::filesystem::path const path(event.filepath);  // once: the buffer keys files by path
    if (event.first_save && event.is_tracked && !ibuf_.get_filecontent(path).value_or("").empty()) {
        // The mirror holds text already: not a file new to it. Kept without a position, so that
        // neither the mirror nor a replay doubles the text.
        log_line("[VSCodeListener] first save of {}: the mirror already holds its text",
                 event.filepath);
        event.offset = NO_POSITION;
    }
    bool const describes_document =
        event.change_type == MessageKind::OPEN || event.change_type == MessageKind::RESYNC;
    std::optional<InsertionBuffer::MirrorEdit> edit;
    if (event.is_tracked) {
        documents_.mark_seen(path);
        if (describes_document) {
            set_document_text(event, path);
        } else if (event.is_saved) {
            judge_save(event, path);
        } else if (event.offset != NO_POSITION) {
            if (event.deleted != 0 || !event.inserted.empty()) {
                edit = InsertionBuffer::MirrorEdit{event.offset, event.deleted};
            }
            if (event.change_type == MessageKind::EOL) {
                documents_.set_eol(
                    path, event.inserted.find("\r\n") != std::string::npos ? "\r\n" : "\n");
            }
        }
    }
    // Only tracked files are mirrored: an untracked path must not leave an entry that every later
    // message searches.
    if (describes_document) {
        event.internal_copy = false;  // the editor's text as it stands, not an insertion
        if (!event.is_tracked) {
            // Nothing was set from it: a document outside the project keeps its text.
            event.inserted.clear();
        } else {
            ibuf_.update(path);
        }
    } else {
        InsertionBuffer::ChangeOutcome const outcome =
            ibuf_.apply_editor_change(path, edit, event.inserted, event.is_tracked);
        if (outcome.place) {
            event.mirror_seq = *outcome.place;
        }
        // Every text "occurs" in a non-empty file, so nothing inserted is never evidence of a copy.
        event.internal_copy = outcome.source && !event.inserted.empty();
        if (event.internal_copy) {
            event.copy_source = outcome.source->path.native();
            event.copy_source_offset = outcome.source->offset;
        }
    }
    out.emplace_back(std::in_place_type<VSCodeEvent>, std::move(event));
}

namespace {

// Whether `text` is the text the message describes by its "length" and "sha256", as far as it
// describes any.
bool is_described_text(VSCodeEvent const& event, std::string const& text) {
    return (!event.text_length || *event.text_length == text.size()) &&
           (event.text_sha256.empty() || sha256_hex(text) == event.text_sha256);
}

bool describes_text(VSCodeEvent const& event) {
    return event.text_length || !event.text_sha256.empty();
}

}  // namespace

void VSCodeListener::set_document_text(VSCodeEvent& event, std::filesystem::path const& path) {
    documents_.set_format(path, DocumentFormat{event.encoding, event.bom, event.eol});
    std::optional<std::string> const before = ibuf_.get_filecontent(path);
    std::string text;
    if (event.text_included) {
        text = std::move(event.inserted);
    } else if (std::optional<std::string> raw = read_project_file(path, env_.rootpath)) {
        if (std::optional<std::string> decoded = documents_.editor_text(path, *raw)) {
            text = std::move(*decoded);
        } else {
            log_line(
                "[VSCodeListener] {}: encoding {} cannot be decoded; the disk's bytes are kept",
                event.filepath, event.encoding);
            text = std::move(*raw);
        }
    } else {
        // Nothing better to set: the mirror keeps what it holds.
        log_line("[VSCodeListener] {}: cannot read the file; the mirror is kept", event.filepath);
        text = before.value_or(std::string{});
    }
    if (describes_text(event) && !is_described_text(event, text)) {
        log_line(
            "[VSCodeListener] {} of {}: the text set ({} bytes) is not the editor's as the "
            "message describes it",
            event.change_type, event.filepath, text.size());
    }
    if (event.change_type == MessageKind::RESYNC) {
        log_line(
            "[VSCodeListener] resync of {}: mirror of {} bytes set to the editor's text of {} "
            "bytes{}",
            event.filepath, before ? before->size() : 0, text.size(),
            before == text ? " (it was in step)" : "");
    }
    event.mirror_reset_seq = ibuf_.set_filecontent(path, text);
    event.offset = NO_POSITION;
    event.deleted = 0;
    event.mirror_reset_reason = event.change_type == MessageKind::RESYNC
                                    ? SnapshotReason::EDITOR_RESYNC
                                    : SnapshotReason::EDITOR_OPEN;
    event.inserted = text;
    event.mirror_reset = std::move(text);
}

void VSCodeListener::judge_save(VSCodeEvent& event, std::filesystem::path const& path) {
    std::optional<std::string> raw = read_project_file(path, env_.rootpath);
    if (!raw) {
        log_line("[VSCodeListener] save of {}: cannot read the file; not compared", event.filepath);
        return;
    }
    event.saved_disk_sha256 = sha256_hex(*raw);
    std::optional<std::string> disk = documents_.editor_text(path, std::move(*raw));
    std::string const mirror = ibuf_.get_filecontent(path).value_or(std::string{});
    if (disk && *disk == mirror) {
        event.save_matches_disk = true;
        if (describes_text(event) && !is_described_text(event, mirror)) {
            log_line(
                "[VSCodeListener] save of {}: disk and mirror agree but differ from the "
                "editor's text as the message describes it",
                event.filepath);
        }
        return;
    }
    if (disk && describes_text(event) && is_described_text(event, *disk)) {
        // The disk holds exactly the editor's text: the mirror lost step, not the disk.
        log_line(
            "[VSCodeListener] save of {}: mirror of {} bytes out of step with the editor; set "
            "to the saved text of {} bytes",
            event.filepath, mirror.size(), disk->size());
        event.mirror_reset_seq = ibuf_.set_filecontent(path, *disk);
        event.save_matches_disk = true;
        event.mirror_reset_reason = SnapshotReason::EDITOR_SAVE;
        event.mirror_reset = std::move(*disk);
        return;
    }
    log_line("[VSCodeListener] save of {}: the disk differs from the editor's text",
             event.filepath);
}

FileId VSCodeListener::ReadLookups::file_id(std::string const& path) {
    if (!have_id_ || path != id_path_) {
        id_ = file_id_of(path);
        id_path_ = path;
        have_id_ = true;
    }
    return id_;
}

bool VSCodeListener::ReadLookups::map_names(std::string_view path) {
    if (!map_checked_) {
        map_checked_ = true;
        named_path_ = path;
        return named_ = map_.names(path);
    }
    if (path != named_path_) {
        named_path_ = path;
        named_ = map_.named(path);
    }
    return named_;
}

void VSCodeListener::ReadLookups::forget() {
    map_checked_ = false;
    have_id_ = false;
}

void VSCodeListener::mark_if_in_current_filemap(VSCodeEvent& event, ReadLookups& lookups) {
    event.is_tracked = lookups.map_names(event.filepath);
}

void VSCodeListener::handle(Event event) {
    // Any other record is not an editor event.
    VSCodeEvent& editor_event = std::get<VSCodeEvent>(event);
    log_line("[VSCodeListener] handler triggered");
    std::optional<std::string> reset = std::move(editor_event.mirror_reset);
    editor_event.mirror_reset.reset();
    std::string const path = editor_event.filepath;
    FileId const fid = editor_event.fid;
    std::string const reason = editor_event.mirror_reset_reason;
    std::optional<std::uint64_t> const place = editor_event.mirror_reset_seq;
    store(std::move(event));
    if (reset) {
        // Right after the message's row: edits stored from now on apply to this content.
        db_.store_snapshot(path, fid, reason, *reset, place);
    }
}

bool VSCodeListener::has_open_connection() {
    std::lock_guard lock(readers_mutex_);
    if (server_fd_ >= 0) {
        // A connection still waiting for the accept loop is an editor that has begun to speak.
        pollfd pending{server_fd_, POLLIN, 0};
        if (::poll(&pending, 1, 0) > 0 && (pending.revents & POLLIN) != 0) {
            return true;
        }
    }
    return std::any_of(readers_.begin(), readers_.end(),
                       [](Reader const& reader) { return !reader.finished; });
}

void VSCodeListener::close_connections() {
    std::vector<std::thread> running;
    {
        std::lock_guard lock(readers_mutex_);
        closing_ = true;
        for (Reader& reader : readers_) {
            if (reader.fd >= 0) {
                ::shutdown(reader.fd, SHUT_RD);
            }
            running.push_back(std::move(reader.thread));
        }
    }
    for (auto& thread : running) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::lock_guard lock(readers_mutex_);
    readers_.clear();
}

void VSCodeListener::remove_socket_if_ours() {
    remove_if_same_socket(socket_path_, socket_device_, socket_inode_);
}
