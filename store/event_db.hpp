#pragma once

#include "events/records.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>

struct sqlite3;
struct sqlite3_stmt;

// Why a snapshot of a file's mirrored content was taken.
namespace SnapshotReason {
inline constexpr char const* START = "start";                    // loaded when monitoring began
inline constexpr char const* FAST_INSERTION = "fast_insertion";  // reset to the disk content
}  // namespace SnapshotReason

// The monitor's only writer of recorded evidence: every stored file event becomes one row of
// `file_events`, every stored editor event one row of `vscode_events`, every snapshot of a
// mirrored file one row of `snapshots`. Failed rows are logged and lost; the monitor goes on. One
// mutex serialises all users of the connection.
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

    // Log the event and insert its row; true when the row was written.
    bool store(FileEvent event);
    bool store(VSCodeEvent event);
    // Records that the mirror of `filepath` holds `content` from now on, after the editor rows
    // stored so far (rows of the open transaction included). Logs a failure with an "[EventDB]"
    // line; true when the row was written.
    bool store_snapshot(std::string const& filepath, FileId fid, std::string const& reason,
                        std::string_view content);
    // Whether editor rows keep their change offset; decided once, when the database opens.
    bool records_offsets() const { return records_offsets_; }

    // From now on rows share one transaction while events keep arriving: each row sits in a
    // savepoint of its own (a failed row loses only itself), and the transaction is committed by
    // a background thread at `commit_soon`, or at the latest `max_delay` after it began.
    void enable_group_commit(std::chrono::milliseconds max_delay);
    // Asks for the open transaction to be committed now, without waiting for it.
    void commit_soon();
    // Commits the open transaction, if any, before returning.
    void commit_pending();

    // Prepares `sql`, binds the values at positions 1, 2, ... and steps it once. Texts
    // (`char const*`, std::string, std::string_view) are bound as text, a std::string or view
    // with its full length even across NUL bytes, and a null pointer as the empty text; `int` and
    // std::int64_t as integers; `bool` as the integer 1 or 0; a Blob as a blob. True when the
    // statement ran to completion.
    template <typename... Values>
    bool insert(std::string const& sql, Values const&... values) {
        std::lock_guard lock(mutex_);
        return insert_locked(sql, values...);
    }

private:
    template <typename T>
    static constexpr bool bindable_v =
        std::is_same_v<T, char const*> || std::is_same_v<T, char*> ||
        std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view> ||
        std::is_same_v<T, int> || std::is_same_v<T, std::int64_t> || std::is_same_v<T, bool> ||
        std::is_same_v<T, Blob>;

    template <typename... Values>
    bool insert_locked(std::string const& sql, Values const&... values) {
        static_assert((bindable_v<std::decay_t<Values>> && ...),
                      "insert binds only texts, integers, bool and blobs");
        sqlite3_stmt* stmt = prepare(sql);
        if (stmt == nullptr) {
            return false;
        }
        int position = 0;
        (bind_value(stmt, ++position, values), ...);
        return step_and_finalize(stmt);
    }

    // Logs "[EventDB] error: ...", closes the connection and throws StartupError.
    [[noreturn]] void fail_open(std::string reason);

    bool execute(char const* sql);
    // Opens the shared transaction when group commit is on; false when rows go one by one.
    bool join_transaction();
    bool store_row(std::string const& sql, auto const&... values);
    void commit_locked();
    void run_committer();

    // A fresh statement, or null after logging the prepare failure.
    sqlite3_stmt* prepare(std::string const& sql);
    static void bind_value(sqlite3_stmt* stmt, int position, char const* text);
    static void bind_value(sqlite3_stmt* stmt, int position, std::string_view text);
    static void bind_value(sqlite3_stmt* stmt, int position, int number);
    static void bind_value(sqlite3_stmt* stmt, int position, std::int64_t number);
    static void bind_value(sqlite3_stmt* stmt, int position, Blob blob);
    static void bind_value(sqlite3_stmt* stmt, int position, bool flag);
    // Steps once, logs a step failure, and finalizes in every case.
    bool step_and_finalize(sqlite3_stmt* stmt);

    std::string dbpath_;
    sqlite3* conn_ = nullptr;
    bool records_offsets_ = false;
    std::mutex mutex_;

    std::chrono::milliseconds max_delay_{0};
    bool in_transaction_ = false;
    bool commit_requested_ = false;
    bool closing_ = false;
    std::chrono::steady_clock::time_point transaction_began_;
    std::condition_variable committer_cv_;
    std::thread committer_;
};
