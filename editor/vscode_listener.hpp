#pragma once

#include "editor/change_message.hpp"
#include "editor/editor_documents.hpp"
#include "editor/filemap_cache.hpp"
#include "supervisors/supervisor.hpp"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Where the editor extension finds the monitor.
inline constexpr char const* EDITOR_SOCKET_PATH = "/tmp/wardlet.sock";

// The monitor's end of the editor socket. Its constructor serves the socket, `prime` loads every
// tracked file into the insertion buffer (and stores its start snapshot); `start` accepts extension
// connections, each read by its own thread, which turns every line into an editor event, mirrors
// tracked edits, runs the internal-copy test and publishes the event. `handle` stores published
// editor events.
//
// Messages that describe the editor's document rather than edit it: "open" and "resync" set the
// mirror to the editor's text (none of it typed) and keep the document's format; "save" compares
// the disk, read as the editor reads it, with the mirror at the point where every earlier change
// of its connection is mirrored; "rename" is handed to the rename follower (below). A message
// that sets the mirror carries the new content in `mirror_reset` (and its place in
// the mirror's order in `mirror_reset_seq`), which `handle` stores as a snapshot right after the
// message's row.
//
// Threads: the owning thread constructs it, primes it, runs `start` and, at teardown, calls
// close_connections and remove_socket_if_ours. `stop`, has_open_connection and wait_count may come
// from any thread. Each connection's reader thread runs read_messages and
// mark_if_in_current_filemap, and uses the file map cache, the documents and the insertion buffer,
// each of which locks itself. `handle` runs where the bus delivers: on its worker, or on the
// reader that published its messages while the bus was idle. No lock of this class is held
// while a line is logged, nor while a message is published.
class VSCodeListener : public ISupervisor {
public:
    // Throws StartupError, after logging the failed step, when the socket cannot be served.
    // Writes nothing to the database.
    VSCodeListener(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env,
                   std::string socket_path = EDITOR_SOCKET_PATH);
    // Mirrors every file of the file map and stores a start snapshot of each: the first rows of a
    // run, called once every start-up step that can fail has passed. A file whose disk content
    // differs from what the record last gave it gets a fast insertion row first.
    void prime();
    // Ends every connection as close_connections() does and closes the descriptors. The socket
    // file stays; see remove_socket_if_ours().
    ~VSCodeListener() override;

    // The accept loop, on the calling thread, until a stop request.
    void start() override;
    // Ends the accept loop; may be called from any thread. Connections keep being served.
    void stop() override;
    // Stores one editor event; runs where the bus delivers it.
    void handle(Event event) override;

    // Moves the tracking of `from` (a file, or a folder and the tracked files below it) to `to`.
    // Called on the connection's reading thread before its next message is read, so the
    // connection's later messages about `to` find the mirror there.
    using RenameFollower =
        std::function<void(std::filesystem::path const& from, std::filesystem::path const& to)>;
    // Given before `start`, by whoever also follows renames seen on the disk, so that the two
    // reports of one move are told apart in one place. Without one, renames are only stored.
    void follow_renames_with(RenameFollower follower) { rename_follower_ = std::move(follower); }
    // Called, on the reading thread, for the text of a document first written to `path` before
    // the message is mirrored: the file may not be tracked yet. Given before `start`.
    using FirstSaveFollower = std::function<void(std::filesystem::path const& path)>;
    void follow_first_saves_with(FirstSaveFollower follower) {
        first_save_follower_ = std::move(follower);
    }

    // Waits for activity: (stop requested, connection pending). A pending connection wins.
    std::pair<bool, bool> get_conn_status();
    // Serves one connection until the extension closes it or a read fails.
    void read_messages(int fd);

    // What the messages of one read share: they all arrived before it, so the file map and a
    // file's identity looked up once, at the first message that needs them, answer for the
    // others as they would a moment later. A rename or first save that the reader follows may
    // change both: it makes the next message look again.
    class ReadLookups {
    public:
        explicit ReadLookups(FileMapCache& map) : map_(map) {}
        FileId file_id(std::string const& path);
        bool map_names(std::string_view path);
        void forget();

    private:
        FileMapCache& map_;
        bool map_checked_ = false;
        std::string named_path_;  // the path map_names last answered for, and its answer
        bool named_ = false;
        std::string id_path_;
        FileId id_{0, 0};
        bool have_id_ = false;
    };

    // Marks the event tracked when the file map, as it is on disk now, names its path.
    void mark_if_in_current_filemap(VSCodeEvent& event, ReadLookups& lookups);

    // Shuts down the reading side of every open connection, lets each reader finish the lines it
    // has already received, and waits for the readers. Connections accepted afterwards are
    // closed at once. Idempotent.
    void close_connections();
    // Whether an editor is connected now, or waits to be accepted: its messages about a
    // document, even one it has not described yet, may still be on their way. Any thread.
    bool has_open_connection();
    // Removes the socket file only if it is still the one this listener bound.
    void remove_socket_if_ours();

    std::string const& socket_path() const { return socket_path_; }
    // The documents' formats and editor history, shared with the analysis of disk changes.
    EditorDocuments& documents() { return documents_; }
    // How often the accept loop has begun to wait. Once it has, a stop request is certain to end
    // the loop through its shutdown branch.
    std::uint64_t wait_count() const { return waits_.load(); }

private:
    struct Reader {
        std::thread thread;
        int fd = -1;  // -1 once the reader has closed it
        bool finished = false;
    };

    // Stores a fast insertion row with the line diff when `recorded`, the record's last content of
    // `path`, differs from `disk`: the file changed while no monitor ran.
    void record_changes_between_runs(std::filesystem::path const& path, std::string const& disk,
                                     std::string recorded);
    void accept_connection();
    int accept_once();
    // Takes one pending connection off the backlog and closes it, when the descriptors or the
    // connection count are exhausted; logged once per episode.
    void shed_connection();
    void begin_shedding();
    void serve(Reader* reader, int fd);
    // The message step for one non-empty line: its event, when the line is a message, joins
    // `out`, to be published with the others of the same read.
    void process_line(std::string const& line, std::vector<Event>& out, ReadLookups& lookups);
    // "open"/"resync" of a tracked document: the mirror becomes the editor's text.
    void set_document_text(VSCodeEvent& event, std::filesystem::path const& path);
    // "save" of a tracked document: sets the event's verdict on the disk's content.
    void judge_save(VSCodeEvent& event, std::filesystem::path const& path);

    // Set by the constructor and read by every thread afterwards.
    std::filesystem::path tracked_map_;
    // The file map, as if read for every message.
    FileMapCache filemap_cache_{tracked_map_, env_.rootpath};
    EditorDocuments documents_;
    // Set before `start`; called on the connections' reader threads.
    RenameFollower rename_follower_;
    FirstSaveFollower first_save_follower_;
    int server_fd_ = -1;  // closed by the accept loop under readers_mutex_, for has_open_connection
    int wake_pipe_[2] = {-1, -1};  // `stop` writes it from any thread; the accept loop reads it
    std::string socket_path_;
    dev_t socket_device_ = 0;
    ino_t socket_inode_ = 0;
    std::atomic<std::uint64_t> waits_{0};
    // The accept loop's alone (the owning thread).
    int spare_fd_ = -1;             // given up to take an excess connection off the backlog
    bool shedding_ = false;         // the accept loop's: in an episode of excess connections
    std::size_t resume_below_ = 0;  // the accept loop's: open connections that end an episode
    std::size_t max_connections_ = std::numeric_limits<std::size_t>::max();
    std::atomic<std::size_t> open_connections_{0};

    // State below is protected by readers_mutex_, taken by the accept loop, by each reader as it
    // ends, and by close_connections.
    std::mutex readers_mutex_;
    std::list<Reader> readers_;  // a list: each reader thread keeps a pointer to its entry
    bool closing_ = false;
};
