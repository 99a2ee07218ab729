#pragma once

#include "editor/change_message.hpp"
#include "editor/filemap_cache.hpp"
#include "supervisors/supervisor.hpp"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

// Where the editor extension finds the monitor.
inline constexpr char const* EDITOR_SOCKET_PATH = "/tmp/wardlet.sock";

// The monitor's end of the editor socket. Its constructor loads every tracked file into the
// insertion buffer and serves the socket; `start` accepts extension connections, each read by its
// own thread, which turns every line into an editor event, mirrors tracked edits, runs the
// internal-copy test and publishes the event. `handle` stores published editor events.
class VSCodeListener : public ISupervisor {
public:
    // Throws StartupError, after logging the failed step, when the socket cannot be served.
    VSCodeListener(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env,
                   std::string socket_path = EDITOR_SOCKET_PATH);
    // Ends every connection as close_connections() does and closes the descriptors. The socket
    // file stays; see remove_socket_if_ours().
    ~VSCodeListener() override;

    // The accept loop, on the calling thread, until a stop request.
    void start() override;
    // Ends the accept loop; may be called from any thread. Connections keep being served.
    void stop() override;
    // Stores one editor event; runs on the bus worker.
    void handle(Event event) override;

    // Waits for activity: (stop requested, connection pending). A pending connection wins.
    std::pair<bool, bool> get_conn_status();
    // Serves one connection until the extension closes it or a read fails.
    void read_messages(int fd);

    static VSCodeEvent parse_event(std::string const& message) { return ::parse_event(message); }
    // Marks the event tracked when the file map, as it is now, names its path.
    void update_if_tracked(VSCodeEvent& event);

    // Shuts down the reading side of every open connection, lets each reader finish the lines it
    // has already received, and waits for the readers. Connections accepted afterwards are
    // closed at once. Idempotent.
    void close_connections();
    // Removes the socket file only if it is still the one this listener bound.
    void remove_socket_if_ours();

    std::string const& socket_path() const { return socket_path_; }
    // How often the accept loop has begun to wait. Once it has, a stop request is certain to end
    // the loop through its shutdown branch.
    std::uint64_t wait_count() const { return waits_.load(); }

private:
    struct Reader {
        std::thread thread;
        int fd = -1;  // -1 once the reader has closed it
        bool finished = false;
    };

    void prime();
    void accept_connection();
    void serve(Reader* reader, int fd);
    // The message step for one non-empty line.
    void process_line(std::string const& line);

    std::filesystem::path tracked_map_;
    FileMapCache filemap_cache_{tracked_map_};
    int server_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::string socket_path_;
    dev_t socket_device_ = 0;
    ino_t socket_inode_ = 0;
    std::atomic<std::uint64_t> waits_{0};

    std::mutex readers_mutex_;
    std::list<Reader> readers_;  // a list: each reader thread keeps a pointer to its entry
    bool closing_ = false;
};
