#pragma once

#include "events/event_bus.hpp"
#include "events/records.hpp"
#include "store/pending_row.hpp"
#include "store/recovery_file.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Why a snapshot of a file's mirrored content was taken.
namespace SnapshotReason {
inline constexpr char const* START = "start";                    // loaded when monitoring began
inline constexpr char const* FAST_INSERTION = "fast_insertion";  // reset to the disk content
// Set to the editor's text, which is not typed: when the editor first showed the document, when
// it brought an out-of-step mirror back to its text, when a save showed the mirror out of step.
inline constexpr char const* EDITOR_OPEN = "editor_open";
inline constexpr char const* EDITOR_RESYNC = "editor_resync";
inline constexpr char const* EDITOR_SAVE = "editor_save";
// The editor renamed the document; the content moved to the new path unchanged.
inline constexpr char const* EDITOR_RENAME = "editor_rename";
inline constexpr char const* ADDED = "added";  // tracked while monitoring
inline constexpr char const* MOVED = "moved";  // its content under a new name
}  // namespace SnapshotReason

// How much trouble an EventDB holds out against, and how it speaks of it; the defaults are the
// monitor's.
struct EventDBLimits {
    // Beyond this many bytes of pending rows, storing waits for the writer: a database that cannot
    // be written holds up the bus, and so the editor's socket, instead of exhausting memory.
    std::size_t max_pending_bytes = std::size_t{64} << 20;
    // While rows cannot be written, the log hears of it this often.
    std::chrono::milliseconds trouble_reminder = std::chrono::minutes(1);
};

// The monitor's only writer of recorded evidence: every stored file event becomes one row of
// `file_events`, every stored editor event one row of `vscode_events`, every snapshot of a
// mirrored file one row of `snapshots`, in the order they were stored.
//
// A stored row is pending until its transaction is committed. A row the database refuses for good
// (no such table or column, a constraint) is logged and dropped; a row that cannot be written now
// (locked by another writer, disk full, I/O error, the file removed or replaced) stays pending, in
// order, with every row after it, and is tried again after a growing pause. Nothing pending is
// dropped: at close, what still cannot be written goes to a recovery file beside the database.
//
// Rows are written either by the storing thread itself, one transaction per row, or, once
// enable_group_commit is called, by a writer thread of the database's own, which commits each row
// at once or, while rows keep coming, per group of at most the given delay. The writer logs a
// row's "registering" line as it hands the row to SQLite, so that a line in the log means a row
// committed, or about to be within that delay. Any thread may store.
//
// Threads: rows are stored by the bus's deliveries (its worker, or an editor connection's reader
// delivering its own message), the main thread (start-up snapshots) and the project follower's
// thread; the writer thread writes them. close runs on the owning thread at
// teardown, hurry and commit_soon come from any thread. Log lines written under conn_mutex_ or
// mutex_ only queue (app/log.hpp).
class EventDB {
public:
    // The most rows one transaction of the writer holds.
    static constexpr std::size_t MAX_GROUP_ROWS = 256;

    // Opens (creating the file, not its directory) the database and creates its tables when they
    // are missing; it is put in write-ahead-log mode, when it can be, at its first write. An
    // unusable database logs
    // "[EventDB] error: ..." and throws StartupError.
    explicit EventDB(std::string const& dbpath, EventDBLimits limits = {});
    // Closes as close() does, waiting at most CLOSE_BOUND for a blocked database.
    ~EventDB();
    EventDB(EventDB const&) = delete;
    EventDB& operator=(EventDB const&) = delete;
    EventDB(EventDB&&) = delete;
    EventDB& operator=(EventDB&&) = delete;

    // Take the row in its turn. Without the writer thread the row is written before returning:
    // true when it (and every row pending before it) was committed. With it, true once queued.
    bool store(FileEvent event);
    bool store(VSCodeEvent event);
    // Records that the mirror of `filepath` holds `content` from now on, after the editor rows
    // stored so far. Logs "[EventDB] snapshot of ... not written" when the database refuses it.
    // `mirror_seq` is the place of the change that set the mirror to `content` (see
    // InsertionBuffer), kept where the editor rows keep theirs.
    bool store_snapshot(std::string const& filepath, FileId fid, std::string const& reason,
                        std::string_view content,
                        std::optional<std::uint64_t> mirror_seq = std::nullopt);
    // Whether editor rows keep their change offset; decided once, when the database opens.
    bool records_offsets() const { return records_offsets_; }
    // The highest mirror_seq stored when the database opened, or when write_now last committed
    // (0 for none): a new run's mirror continues after it, so that the order holds across runs.
    std::uint64_t last_mirror_seq() const { return last_mirror_seq_.load(); }
    // Whether the database is in write-ahead-log mode, where readers never hold up the writer. The
    // mode is entered at the first write, so that a start that fails leaves the file untouched.
    bool write_ahead_log() const { return write_ahead_log_; }
    // Enters write-ahead-log mode now, when it can be, rather than at the first write: for the
    // moment this process may change the file, before readers come.
    void begin_writing();

    // Starts the writer thread: from now on storing only queues the row, and the writer commits
    // the rows it has, at the latest `max_group` after their transaction began.
    void enable_group_commit(std::chrono::milliseconds max_group);
    // Asks the writer to commit the rows stored so far as soon as they are written, rather than
    // wait, within its bound, for more rows to share the commit. The bus asks whenever it is idle.
    // Rows that the bus's deliveries stored while the writer slept (see commit_with) are written
    // here, on the calling thread, at once.
    void commit_soon();
    // Has `bus` ask for the commit whenever it is idle. Rows its deliveries store while the writer
    // sleeps do not wake the writer: once the bus is idle, the delivering thread writes them
    // itself (a lone change costs no wake-up of another thread); while more events wait, the
    // writer is woken to gather them into a group as usual. Call after enable_group_commit,
    // before events flow.
    void commit_with(EventBus& bus);
    // Waits until the rows stored so far are committed, or until an attempt to write them failed
    // (they stay pending then).
    void commit_pending();

    // Writes `rows` in one transaction of their own, on the calling thread, after any pending row;
    // true once they are committed. For rows rebuilt from a recovery file, before this session's
    // own rows are stored.
    bool write_now(std::vector<PendingRow> const& rows);

    // From now on storing never waits for room: at shutdown every event still on its way must
    // find its place.
    void stop_limiting();

    using Unwritten = UnwrittenRows;
    static constexpr std::chrono::seconds CLOSE_BOUND{30};
    // Writes what is pending, waiting at most `bound` for a database that cannot be written, then
    // checkpoints and removes the write-ahead log and closes the connection. Rows still unwritten
    // go to "unwritten-<UTC time>.jsonl" beside the database, or to standard error when that
    // cannot be written. Idempotent: later calls return the first call's result.
    Unwritten close(std::chrono::milliseconds bound = CLOSE_BOUND);
    // Ends the close's wait for a database that cannot be written now, or the next close's before
    // it begins: what is still pending goes to the recovery file at once. Safe from any thread.
    void hurry();
    // The one line that tells how many rows are where.
    static std::string unwritten_line(Unwritten const& unwritten);

    // Whether `table` of the open database has a column named `column`.
    bool table_has_column(std::string const& table, std::string const& column);

private:
    // A statement kept for its text; `reused` when an earlier row already ran it.
    struct Statement {
        sqlite3_stmt* stmt = nullptr;
        bool reused = false;
        int rc = 0;  // the prepare's result when `stmt` is null
    };
    // How one run of a statement ended.
    struct Ran {
        enum Result { Done, PrepareFailed, StepFailed } result = Done;
        int rc = 0;         // SQLite's result code
        std::string error;  // SQLite's message, or why the text gave no statement
    };
    // Why rows could not be written, when it is not the rows' own fault.
    struct Trouble {
        std::string cause;
    };

    // Logs "[EventDB] error: ...", closes the connection and throws StartupError.
    [[noreturn]] void fail_open(std::string reason);
    // Opens the connection on dbpath_ and sets its journal; the reason when that failed.
    std::optional<std::string> open_connection();
    // Closes the connection, leaving the file alone holding the record unless it is `stale` (its
    // file removed or replaced).
    void close_connection(bool stale);
    // The connection's journal mode, after setting it to `wanted` when given; empty on failure.
    std::string journal_mode(char const* wanted);
    // Puts the database in write-ahead-log mode before this connection's first write. Needs
    // conn_mutex_.
    void enter_write_ahead_log();

    // Queues `row`, waiting for room while the pending rows are over their bound; then, without
    // the writer thread, writes everything pending. See store().
    bool queue_row(PendingRow row);
    // One transaction over the pending rows from the oldest on, ended after `max_group` or
    // MAX_GROUP_ROWS; committed rows (and refused ones) leave the queue. Needs conn_mutex_.
    std::optional<Trouble> write_group(std::chrono::milliseconds max_group);
    // Writes every pending row, one group after another, until none is left or one fails.
    std::optional<Trouble> write_all(std::chrono::milliseconds max_group);
    // The row's statement with its values; a Trouble when the cause is not the row.
    std::optional<Trouble> write_row(PendingRow const& row, bool& refused);
    // Adds the pending rows not yet in `rows`, up to MAX_GROUP_ROWS. Needs mutex_.
    void take_more(std::vector<PendingRow*>& rows);
    // Waits, until `deadline` at the latest, for more rows to join the open transaction, unless
    // a commit was asked for; then adds them.
    void wait_for_more(std::vector<PendingRow*>& rows,
                       std::chrono::steady_clock::time_point deadline);
    // Ends a failed transaction, if SQLite has not ended it already.
    void roll_back();
    // Whether the file at dbpath_ is still the one the connection has open; reopens the path
    // when it is not, so that rows go to the database that is there now.
    std::optional<Trouble> check_file();
    // Keeps the log told about trouble: its start, once a minute while it lasts, and its end.
    void note_outcome(std::optional<Trouble> const& trouble);
    void run_writer();
    // The bus has more events: wakes the writer for rows that did not wake it.
    void keep_writing();

    bool execute(char const* sql);
    // The kept statement for `sql`, or a freshly prepared one that is kept from now on: every row
    // costs a bind and a step instead of a compilation of its statement.
    Statement statement_for(std::string const& sql);
    std::string prepare_error(int rc) const;
    // Runs the statement kept for `sql` once with `values` bound. A kept statement that went
    // stale (its table changed from outside) is dropped and the run repeated with a fresh one.
    Ran run_kept(std::string const& sql, std::vector<RowValue> const* values);
    std::optional<Ran> step_and_reset(std::string const& sql, Statement const& statement);
    void drop_statement(std::string const& sql);
    void drop_statements();
    static void bind_values(sqlite3_stmt* stmt, std::vector<RowValue> const& values);
    // Needs conn_mutex_ (or no writer yet).
    std::uint64_t read_last_mirror_seq();

    std::string dbpath_;
    EventDBLimits limits_;
    sqlite3* conn_ = nullptr;
    bool records_offsets_ = false;
    std::atomic<std::uint64_t> last_mirror_seq_{0};
    std::atomic<bool> write_ahead_log_{false};
    bool journal_settled_ = false;  // the first write tried the write-ahead log; needs conn_mutex_
    // This connection committed rows or changed the journal mode; needs conn_mutex_.
    bool changed_file_ = false;
    dev_t file_device_ = 0;
    ino_t file_inode_ = 0;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    std::shared_ptr<RowShape const> file_shape_;
    std::shared_ptr<RowShape const> editor_shape_;
    std::shared_ptr<RowShape const> snapshot_shape_;

    // Held by whoever uses the connection: the writer for a group, a storing thread without it.
    std::mutex conn_mutex_;

    // Guards everything below. Rows are only appended by storing threads and only taken from the
    // front by the one that writes; a deque keeps the rows being written in place meanwhile.
    std::mutex mutex_;
    std::deque<PendingRow> pending_;
    std::size_t pending_bytes_ = 0;
    bool limiting_ = true;
    std::uint64_t queued_count_ = 0;   // rows ever queued
    std::uint64_t settled_count_ = 0;  // rows ever committed or refused
    std::uint64_t failed_attempts_ = 0;
    std::uint64_t last_refused_ = 0;      // the number of the last row refused
    std::condition_variable room_cv_;     // pending rows left the queue
    std::condition_variable settled_cv_;  // rows settled, or an attempt failed
    std::condition_variable writer_cv_;   // rows queued, or closing
    std::chrono::milliseconds max_group_{0};
    bool commit_requested_ = false;  // the bus has delivered all it had: commit what is written
    bool writer_waiting_ = false;    // the writer waits for more rows to join its transaction
    bool writer_idle_ = false;       // the writer waits for any row
    // Rows its deliveries store while the writer is idle do not wake it (see commit_with).
    EventBus const* committing_bus_ = nullptr;
    bool wake_owed_ = false;  // rows wait for the writer, which has not been woken for them
    bool closing_ = false;
    std::chrono::steady_clock::time_point close_deadline_;
    bool hurried_ = false;
    std::uint64_t close_changes_ = 0;  // counts changes of the close's deadline
    std::optional<Unwritten> closed_;
    std::thread writer_;

    // Trouble as last reported; used by whoever writes, under conn_mutex_.
    std::optional<std::string> trouble_;
    std::chrono::steady_clock::time_point trouble_reported_;
};
