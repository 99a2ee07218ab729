#pragma once

#include "events/records.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <variant>
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
inline constexpr char const* ADDED = "added";                    // tracked while monitoring
inline constexpr char const* MOVED = "moved";                    // its content under a new name
}  // namespace SnapshotReason

// The monitor's only writer of recorded evidence: every stored file event becomes one row of
// `file_events`, every stored editor event one row of `vscode_events`, every snapshot of a
// mirrored file one row of `snapshots`. Failed rows are logged and lost; the monitor goes on. One
// mutex serialises all users of the connection, except that a background commit uses it alone
// without holding the mutex (see enable_group_commit).
class EventDB {
public:
    // Bytes bound as a blob rather than as text.
    struct Blob {
        std::string_view bytes;
    };

    // Opens (creating the file, not its directory) the database and creates its tables when they
    // are missing. An unusable database logs "[EventDB] error: ..." and throws StartupError.
    explicit EventDB(std::string const& dbpath);
    ~EventDB();
    EventDB(EventDB const&) = delete;
    EventDB& operator=(EventDB const&) = delete;
    EventDB(EventDB&&) = delete;
    EventDB& operator=(EventDB&&) = delete;

    // Log the event and insert its row; true when the row was written, or when it waits for the
    // background commit in progress (it is then written right after that commit, in its turn, and
    // a failure is only logged).
    bool store(FileEvent event);
    bool store(VSCodeEvent event);
    // Records that the mirror of `filepath` holds `content` from now on, after the editor rows
    // stored so far (rows of the open transaction and rows waiting behind a commit included).
    // Logs a failure with an "[EventDB]" line; true when the row was written.
    // `mirror_seq` is the place of the change that set the mirror to `content` (see
    // InsertionBuffer), kept where the editor rows keep theirs.
    bool store_snapshot(std::string const& filepath, FileId fid, std::string const& reason,
                        std::string_view content,
                        std::optional<std::uint64_t> mirror_seq = std::nullopt);
    // Whether editor rows keep their change offset; decided once, when the database opens.
    bool records_offsets() const { return records_offsets_; }
    // The highest mirror_seq stored when the database opened (0 for none): a new run's mirror
    // continues after it, so that the order holds across runs.
    std::uint64_t last_mirror_seq() const { return last_mirror_seq_; }

    // From now on rows share one transaction while events keep arriving: each row sits in a
    // savepoint of its own (a failed row loses only itself), and the transaction is committed by
    // a background thread at `commit_soon`, or at the latest `max_delay` after it began. Storing
    // never waits for that commit, which waits for the disk: rows stored meanwhile are kept in
    // memory and written, in order, as soon as it is done.
    void enable_group_commit(std::chrono::milliseconds max_delay);
    // Asks for the open transaction to be committed now, without waiting for it.
    void commit_soon();
    // Commits the open transaction, if any, before returning.
    void commit_pending();

    // Prepares `sql` (once: the statement is kept for later calls with the same text), binds the
    // values at positions 1, 2, ... and steps it once. Texts (`char const*`, std::string,
    // std::string_view) are bound as text, a std::string or view with its full length even across
    // NUL bytes, and a null pointer as the empty text; `int` and std::int64_t as integers; `bool`
    // as the integer 1 or 0; a Blob as a blob. True when the statement ran to completion.
    template <typename... Values>
    bool insert(std::string const& sql, Values const&... values) {
        std::unique_lock lock(mutex_);
        wait_for_commit(lock);
        return insert_locked(sql, values...);
    }

private:
    template <typename T>
    static constexpr bool bindable_v =
        std::is_same_v<T, char const*> || std::is_same_v<T, char*> ||
        std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view> ||
        std::is_same_v<T, int> || std::is_same_v<T, std::int64_t> || std::is_same_v<T, bool> ||
        std::is_same_v<T, Blob> || std::is_same_v<T, std::optional<std::int64_t>> ||
        std::is_same_v<T, std::optional<std::string>>;

    template <typename... Values>
    bool insert_locked(std::string const& sql, Values const&... values) {
        static_assert((bindable_v<std::decay_t<Values>> && ...),
                      "insert binds only texts, integers, bool and blobs");
        return row_done(run_kept(sql, [&](sqlite3_stmt* stmt) {
            int position = 0;
            (bind_value(stmt, ++position, values), ...);
        }));
    }

    // A prepared statement kept for its text; `reused` when an earlier row already ran it.
    struct Statement {
        sqlite3_stmt* stmt = nullptr;
        bool reused = false;
        int rc = 0;  // the prepare's result when `stmt` is null
    };
    // How one run of a statement ended.
    struct Ran {
        enum Result { Done, PrepareFailed, StepFailed } result = Done;
        std::string error;  // SQLite's message, or why the text gave no statement
    };

    // Runs the statement kept for `sql` once, after `bind` has set its values. A kept statement
    // that went stale (its table changed from outside) is dropped and the run repeated with a
    // fresh one, so it fails or succeeds as a statement prepared for it would.
    template <typename Bind>
    Ran run_kept(std::string const& sql, Bind const& bind) {
        while (true) {
            Statement const statement = statement_for(sql);
            if (statement.stmt == nullptr) {
                return {Ran::PrepareFailed, prepare_error(statement.rc)};
            }
            bind(statement.stmt);
            if (std::optional<Ran> ran = step_and_reset(sql, statement)) {
                return std::move(*ran);
            }
        }
    }

    // Logs "[EventDB] error: ...", closes the connection and throws StartupError.
    [[noreturn]] void fail_open(std::string reason);

    bool execute(char const* sql);
    // Opens the shared transaction when group commit is on; false when rows go one by one.
    bool join_transaction();
    // One row, in a savepoint of its own within the open transaction, or on its own.
    bool write_row(FileEvent const& event, bool in_transaction);
    bool write_row(VSCodeEvent const& event, bool in_transaction);
    bool write_row(VSCodeEvent const& event, std::string const& timestamp, bool in_transaction);
    bool store_row(bool in_transaction, std::string const& sql, auto const&... values);
    void commit_locked();
    // Records how a COMMIT ended: the transaction is over unless it is still open after a failure.
    void note_commit(bool committed);
    // The committer's commit. The connection is the committer's alone, without the mutex, while
    // COMMIT waits for the disk and while the rows stored meanwhile are written after it; rows
    // stored during that time wait in their turn.
    void commit_in_background(std::unique_lock<std::mutex>& lock);
    // Writes the waiting rows, opening a transaction for them, until none is left or that
    // transaction is due for its commit.
    void write_deferred(std::unique_lock<std::mutex>& lock);
    // Waits (with the mutex held on return) until no background commit uses the connection.
    void wait_for_commit(std::unique_lock<std::mutex>& lock);
    void run_committer();

    // The kept statement for `sql`, or a freshly prepared one that is kept from now on: every
    // row costs a bind and a step instead of a compilation of its statement. Null when `sql`
    // does not prepare or holds no statement.
    Statement statement_for(std::string const& sql);
    // Logs "prepare failed: ..." or "step failed: ..." for a row that failed; true when it ran to
    // completion.
    static bool row_done(Ran const& ran);
    // Why statement_for gave no statement, from the prepare's result.
    std::string prepare_error(int rc) const;
    // Steps once and readies the statement for its next run. A reused statement whose text no
    // longer prepares is dropped instead: no result then.
    std::optional<Ran> step_and_reset(std::string const& sql, Statement const& statement);
    // Finalizes the kept statement for `sql`.
    void drop_statement(std::string const& sql);
    static void bind_value(sqlite3_stmt* stmt, int position, char const* text);
    static void bind_value(sqlite3_stmt* stmt, int position, std::string_view text);
    static void bind_value(sqlite3_stmt* stmt, int position, int number);
    static void bind_value(sqlite3_stmt* stmt, int position, std::int64_t number);
    static void bind_value(sqlite3_stmt* stmt, int position, Blob blob);
    static void bind_value(sqlite3_stmt* stmt, int position, bool flag);
    // No value binds NULL.
    template <typename T>
    static void bind_value(sqlite3_stmt* stmt, int position, std::optional<T> const& value) {
        if (value) {
            bind_value(stmt, position, *value);
        } else {
            bind_null(stmt, position);
        }
    }
    static void bind_null(sqlite3_stmt* stmt, int position);
    std::uint64_t read_last_mirror_seq();

    std::string dbpath_;
    sqlite3* conn_ = nullptr;
    bool records_offsets_ = false;
    std::uint64_t last_mirror_seq_ = 0;
    std::mutex mutex_;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;

    std::chrono::milliseconds max_delay_{0};
    bool in_transaction_ = false;
    bool commit_requested_ = false;
    bool closing_ = false;
    // While true, the committer alone uses the connection and the statements, without the mutex.
    bool committing_ = false;
    std::vector<std::variant<FileEvent, VSCodeEvent>> deferred_;
    std::chrono::steady_clock::time_point transaction_began_;
    std::condition_variable committer_cv_;
    std::condition_variable committed_cv_;
    std::thread committer_;
};
