#include "editor/vscode_listener.hpp"

#include "app/file_content.hpp"
#include "app/log.hpp"
#include "editor/filemap.hpp"
#include "editor/line_framer.hpp"
#include "editor/listen_socket.hpp"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t READ_SIZE = 4096;
constexpr std::uint64_t NO_POSITION = std::numeric_limits<std::uint64_t>::max();

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
    prime();
    ListenSocket const socket = open_listen_socket(socket_path);
    server_fd_ = socket.server_fd;
    wake_pipe_[0] = socket.wake_read;
    wake_pipe_[1] = socket.wake_write;
    socket_path_ = socket.path;
    socket_device_ = socket.device;
    socket_inode_ = socket.inode;
    log_line("[VSCodeListener] initialized");
}

VSCodeListener::~VSCodeListener() {
    close_connections();
    close_fd(server_fd_);
    close_fd(wake_pipe_[0]);
    close_fd(wake_pipe_[1]);
}

void VSCodeListener::prime() {
    FileMap const map = parse_filemap(tracked_map_);
    for (auto const& [fid, data] : map) {
        // An unreadable file is mirrored as empty, like a file that has no content yet.
        std::string content = read_file_content(data.filepath).value_or(std::string{});
        std::size_t const size = content.size();
        // The starting point from which the stored edits rebuild the file.
        db_.store_snapshot(data.filepath.native(), file_id_of(data.filepath), SnapshotReason::START,
                           content);
        ibuf_.set_filecontent(data.filepath, std::move(content));
        ibuf_.update(data.filepath);
        log_line("[VSCodeListener] updated insertion buffer for {} with size={}",
                 data.filepath.native(), size);
    }
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
            close_fd(server_fd_);
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

void VSCodeListener::accept_connection() {
    int fd;
    do {
        fd = ::accept4(server_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        log_line("[VSCodeListener] could not accept connection");
        return;
    }
    log_line("[VSCodeListener] extension connected successfully");

    std::vector<std::thread> ended;
    {
        std::lock_guard lock(readers_mutex_);
        if (closing_) {
            ::close(fd);
            return;
        }
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
    }
    log_line("[VSCodeListener] extension disconnected");
}

void VSCodeListener::read_messages(int fd) {
    LineFramer framer;
    char buffer[READ_SIZE];
    while (true) {
        ssize_t const count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        std::size_t const dropped_before = framer.dropped_lines();
        for (std::string const& line :
             framer.feed(std::string_view(buffer, static_cast<std::size_t>(count)))) {
            process_line(line);
        }
        if (framer.dropped_lines() != dropped_before) {
            log_line("[VSCodeListener] message longer than {} bytes dropped",
                     LineFramer::DEFAULT_CAP);
        }
    }
}

void VSCodeListener::process_line(std::string const& line) {
    log_line("[VSCodeListener] received:: {}", line);
    VSCodeEvent event;
    try {
        event = parse_event(line);
    } catch (nlohmann::json::exception const& error) {
        log_line("[VSCodeListener] message rejected: {}", error.what());
        return;
    } catch (BadChangeMessage const& error) {
        log_line("[VSCodeListener] message rejected: {}", error.what());
        return;
    }
    update_if_tracked(event);

    std::filesystem::path const path(event.filepath);  // once: the buffer keys files by path
    if (event.is_tracked && event.offset != NO_POSITION && !event.is_saved) {
        if (event.deleted != 0) {
            ibuf_.delete_filecontent(path, event.offset, event.deleted);
        }
        if (!event.inserted.empty()) {
            ibuf_.insert_filecontent(path, event.offset, event.inserted);
        }
    }
    // Every text "occurs" in a non-empty file, so nothing inserted is never evidence of a copy.
    bool const found = ibuf_.contains(event.inserted);
    event.internal_copy = found && !event.inserted.empty();
    ibuf_.update(path);
    publish(Event{std::move(event)});
}

void VSCodeListener::update_if_tracked(VSCodeEvent& event) {
    event.is_tracked = filemap_cache_.names(event.filepath);
}

void VSCodeListener::handle(Event event) {
    std::get<VSCodeEvent>(event);  // any other record is not an editor event
    log_line("[VSCodeListener] handler triggered");
    store(std::move(event));
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
