#include "store/event_db.hpp"

#include "app/log.hpp"
#include "app/startup_error.hpp"
#include "store/schema.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <system_error>

namespace {

constexpr char const* FILE_EVENTS_INSERT =
    "INSERT INTO file_events (type, filepath, fid, action, old_filepath, directory, diff, "
    "handler_type, incident_type, hash) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr char const* VSCODE_EVENTS_INSERT =
    "INSERT INTO vscode_events (timestamp, type, filepath, fid, inserted, deleted, is_undo_redo, "
    "is_copy_paste, internal_copy, copy_buf, is_saved, hash) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr char const* VSCODE_EVENTS_INSERT_WITH_OFFSET =
    "INSERT INTO vscode_events (timestamp, type, filepath, fid, inserted, deleted, is_undo_redo, "
    "is_copy_paste, internal_copy, copy_buf, is_saved, hash, change_offset, copy_source, "
    "copy_source_offset, mirror_seq, editor) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
// One statement, so that the snapshot is placed after exactly the editor rows this connection
// sees, whatever the transaction. rowid is the `id` of the monitor's own table.
constexpr char const* SNAPSHOTS_INSERT =
    "INSERT INTO snapshots (filepath, fid, reason, content, after_event_id) "
    "SELECT ?, ?, ?, ?, COALESCE(MAX(rowid), 0) FROM vscode_events";
constexpr char const* SNAPSHOTS_INSERT_WITH_SEQ =
    "INSERT INTO snapshots (filepath, fid, reason, content, mirror_seq, after_event_id) "
    "SELECT ?, ?, ?, ?, ?, COALESCE(MAX(rowid), 0) FROM vscode_events";
constexpr char const* HASH_PLACEHOLDER = "<hash>";

// A reviewer reading the live database holds its lock for a moment; writes wait that long
// instead of losing the row. Deliveries wait meanwhile, so the wait stays short.
constexpr int BUSY_TIMEOUT_MS = 5000;

std::string fid_text(FileId const& fid) {
    return fmt::format("{};{}", fid.first, fid.second);
}

// Inserted bytes minus deleted characters, exact for any two 64-bit counts.
std::string net_count_text(std::uint64_t inserted, std::uint64_t deleted) {
    if (inserted >= deleted) {
        return fmt::format("{}", inserted - deleted);
    }
    return fmt::format("-{}", deleted - inserted);
}

// The column holds a 32-bit count: keep the low 32 bits, read as signed.
int low32(std::uint64_t count) {
    return static_cast<int>(static_cast<std::uint32_t>(count));
}

std::optional<std::int64_t> as_integer(std::optional<std::uint64_t> number) {
    if (!number) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*number);
}

}  // namespace

EventDB::EventDB(std::string const& dbpath) : dbpath_(dbpath) {
    int const rc = sqlite3_open(dbpath_.c_str(), &conn_);
    if (rc != SQLITE_OK) {
        fail_open(conn_ != nullptr ? sqlite3_errmsg(conn_) : sqlite3_errstr(rc));
    }
    // The open creates a missing file but never its directory; an unreadable directory shows
    // up here as a status error.
    std::error_code error;
    auto const status = std::filesystem::status(dbpath_, error);
    if (error && error != std::errc::no_such_file_or_directory) {
        fail_open(error.message());
    }
    if (!std::filesystem::exists(status)) {
        fail_open("no database file after open");
    }
    sqlite3_busy_timeout(conn_, BUSY_TIMEOUT_MS);
    if (auto const schema_error = apply_schema(conn_)) {
        fail_open(*schema_error);
    }
    records_offsets_ = has_column(conn_, "vscode_events", "change_offset");
    if (records_offsets_) {
        last_mirror_seq_ = read_last_mirror_seq();
    }
    log_line("[EventDB] initialized successfully dbpath={}", dbpath_);
}

EventDB::~EventDB() {
    {
        std::unique_lock lock(mutex_);
        closing_ = true;
        wait_for_commit(lock);
        commit_locked();
    }
    committer_cv_.notify_all();
    if (committer_.joinable()) {
        committer_.join();
    }
    for (auto const& [sql, stmt] : statements_) {
        sqlite3_finalize(stmt);
    }
    sqlite3_close(conn_);
}

void EventDB::enable_group_commit(std::chrono::milliseconds max_delay) {
    std::lock_guard lock(mutex_);
    max_delay_ = max_delay;
    if (!committer_.joinable()) {
        committer_ = std::thread([this] { run_committer(); });
    }
}

void EventDB::commit_soon() {
    {
        std::lock_guard lock(mutex_);
        // During a background commit the rows stored meanwhile have no transaction yet; the
        // request is for them.
        if (!in_transaction_ && !committing_) {
            return;
        }
        commit_requested_ = true;
    }
    committer_cv_.notify_all();
}

void EventDB::commit_pending() {
    std::unique_lock lock(mutex_);
    wait_for_commit(lock);
    commit_locked();
}

void EventDB::wait_for_commit(std::unique_lock<std::mutex>& lock) {
    committed_cv_.wait(lock, [this] { return !committing_; });
}

void EventDB::run_committer() {
    std::unique_lock lock(mutex_);
    while (!closing_) {
        if (!in_transaction_) {
            committer_cv_.wait(lock, [this] { return in_transaction_ || closing_; });
            continue;
        }
        auto const deadline = transaction_began_ + max_delay_;
        committer_cv_.wait_until(
            lock, deadline, [this] { return commit_requested_ || closing_ || !in_transaction_; });
        if (in_transaction_ &&
            (commit_requested_ || std::chrono::steady_clock::now() >= deadline)) {
            commit_in_background(lock);
        }
    }
}

void EventDB::commit_in_background(std::unique_lock<std::mutex>& lock) {
    committing_ = true;
    do {
        commit_requested_ = false;
        lock.unlock();
        bool const committed = execute("COMMIT");
        lock.lock();
        note_commit(committed);
        write_deferred(lock);
        // Rows still waiting once the transaction they went into is due: commit that first.
    } while (!deferred_.empty());
    committing_ = false;
    committed_cv_.notify_all();
}

void EventDB::write_deferred(std::unique_lock<std::mutex>& lock) {
    while (!deferred_.empty()) {
        std::vector<std::variant<FileEvent, VSCodeEvent>> rows;
        rows.swap(deferred_);
        bool const begin = !in_transaction_ && !closing_;
        bool const shared = in_transaction_;
        // The connection stays the committer's alone: rows stored meanwhile keep waiting, in
        // order, behind these.
        lock.unlock();
        auto const began_at = std::chrono::steady_clock::now();
        bool const began = begin && execute("BEGIN IMMEDIATE");
        for (auto const& row : rows) {
            std::visit([this, in = shared || began](auto const& event) { write_row(event, in); },
                       row);
        }
        lock.lock();
        if (began) {
            in_transaction_ = true;
            transaction_began_ = began_at;
        }
        if (in_transaction_ &&
            std::chrono::steady_clock::now() >= transaction_began_ + max_delay_) {
            return;
        }
    }
}

bool EventDB::execute(char const* sql) {
    Ran const ran = run_kept(sql, [](sqlite3_stmt*) {});
    if (ran.result != Ran::Done) {
        log_line("[EventDB] {} failed: {}", sql, ran.error);
    }
    return ran.result == Ran::Done;
}

bool EventDB::join_transaction() {
    if (!committer_.joinable() || closing_) {
        return false;
    }
    if (!in_transaction_) {
        // Taking the write lock at the start keeps a reader from turning the commit into a
        // deadlock; the busy timeout makes this wait for readers instead of failing.
        if (!execute("BEGIN IMMEDIATE")) {
            return false;
        }
        in_transaction_ = true;
        commit_requested_ = false;
        transaction_began_ = std::chrono::steady_clock::now();
        committer_cv_.notify_all();
    }
    return true;
}

void EventDB::commit_locked() {
    commit_requested_ = false;
    if (!in_transaction_) {
        return;
    }
    note_commit(execute("COMMIT"));
}

void EventDB::note_commit(bool committed) {
    // Still busy after the timeout: the rows stay in the open transaction and the next commit
    // tries again; they are lost only if that keeps failing until the database closes.
    if (committed || sqlite3_get_autocommit(conn_) != 0) {
        in_transaction_ = false;
    }
}

bool EventDB::store_row(bool in_transaction, std::string const& sql, auto const&... values) {
    if (!in_transaction || !execute("SAVEPOINT row")) {
        return insert_locked(sql, values...);
    }
    bool const stored = insert_locked(sql, values...);
    if (!stored) {
        execute("ROLLBACK TO row");
    }
    execute("RELEASE row");
    return stored;
}

void EventDB::fail_open(std::string reason) {
    log_line("[EventDB] error: {} dbpath={}", reason, dbpath_);
    sqlite3_close(conn_);
    conn_ = nullptr;
    throw StartupError(fmt::format("event database unusable: {}", reason));
}

bool EventDB::store(FileEvent event) {
    std::lock_guard lock(mutex_);
    log_line("[EventDB] registering file event... {} @ {}", action2str(event.action),
             timestamp2str(event.timestamp));
    if (committing_) {
        deferred_.emplace_back(std::move(event));
        return true;
    }
    return write_row(event, join_transaction());
}

bool EventDB::store(VSCodeEvent event) {
    std::lock_guard lock(mutex_);
    std::string const timestamp = timestamp2str(event.timestamp);
    log_line("[EventDB] registering vscode event... {} (fid={};{}) inserted {} characters @ {}",
             event.filepath, event.fid.first, event.fid.second,
             net_count_text(event.inserted.size(), event.deleted), timestamp);
    if (committing_) {
        deferred_.emplace_back(std::move(event));
        return true;
    }
    return write_row(event, timestamp, join_transaction());
}

bool EventDB::write_row(FileEvent const& event, bool in_transaction) {
    return store_row(in_transaction, FILE_EVENTS_INSERT, event.type, event.filepath,
                     fid_text(event.fid), action2str(event.action), event.old_filepath,
                     event.directory, event.diff, event.handler_type, event.incident_type,
                     HASH_PLACEHOLDER);
}

bool EventDB::write_row(VSCodeEvent const& event, bool in_transaction) {
    return write_row(event, timestamp2str(event.timestamp), in_transaction);
}

bool EventDB::write_row(VSCodeEvent const& event, std::string const& timestamp,
                        bool in_transaction) {
    if (!records_offsets_) {
        return store_row(in_transaction, VSCODE_EVENTS_INSERT, timestamp, event.change_type,
                         event.filepath, fid_text(event.fid), event.inserted, low32(event.deleted),
                         event.is_undo_redo, event.is_copy_paste, event.internal_copy,
                         event.copy_buf, event.is_saved, HASH_PLACEHOLDER);
    }
    // Two's complement: a change without a position (all ones) is stored as -1.
    auto const offset = static_cast<std::int64_t>(event.offset);
    return store_row(in_transaction, VSCODE_EVENTS_INSERT_WITH_OFFSET, timestamp, event.change_type,
                     event.filepath, fid_text(event.fid), event.inserted, low32(event.deleted),
                     event.is_undo_redo, event.is_copy_paste, event.internal_copy, event.copy_buf,
                     event.is_saved, HASH_PLACEHOLDER, offset, event.copy_source,
                     as_integer(event.copy_source_offset), as_integer(event.mirror_seq),
                     event.editor);
}

bool EventDB::store_snapshot(std::string const& filepath, FileId fid, std::string const& reason,
                             std::string_view content, std::optional<std::uint64_t> mirror_seq) {
    std::unique_lock lock(mutex_);
    log_line("[EventDB] registering snapshot... {} (fid={};{}) {} of {} bytes", filepath, fid.first,
             fid.second, reason, content.size());
    // The snapshot goes after the editor rows stored before it, some of which may still wait
    // behind a background commit.
    wait_for_commit(lock);
    bool const stored =
        records_offsets_ ? store_row(join_transaction(), SNAPSHOTS_INSERT_WITH_SEQ, filepath,
                                     fid_text(fid), reason, Blob{content}, as_integer(mirror_seq))
                         : store_row(join_transaction(), SNAPSHOTS_INSERT, filepath, fid_text(fid),
                                     reason, Blob{content});
    if (!stored) {
        log_line("[EventDB] snapshot of {} ({}) not written", filepath, reason);
    }
    return stored;
}

EventDB::Statement EventDB::statement_for(std::string const& sql) {
    if (auto const kept = statements_.find(sql); kept != statements_.end()) {
        return {kept->second, true, SQLITE_OK};
    }
    sqlite3_stmt* stmt = nullptr;
    int const rc = sqlite3_prepare_v2(conn_, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK || stmt == nullptr) {
        return {nullptr, false, rc};
    }
    statements_.emplace(sql, stmt);
    return {stmt, false, SQLITE_OK};
}

bool EventDB::row_done(Ran const& ran) {
    if (ran.result != Ran::Done) {
        log_line("{} failed: {}", ran.result == Ran::PrepareFailed ? "prepare" : "step", ran.error);
    }
    return ran.result == Ran::Done;
}

std::string EventDB::prepare_error(int rc) const {
    return rc != SQLITE_OK ? sqlite3_errmsg(conn_) : "no statement in the text";
}

std::uint64_t EventDB::read_last_mirror_seq() {
    sqlite3_stmt* stmt = nullptr;
    char const* sql =
        "SELECT MAX(COALESCE((SELECT MAX(mirror_seq) FROM vscode_events), 0), "
        "COALESCE((SELECT MAX(mirror_seq) FROM snapshots), 0))";
    std::int64_t last = 0;
    if (sqlite3_prepare_v2(conn_, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        last = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    return last > 0 ? static_cast<std::uint64_t>(last) : 0;
}

void EventDB::bind_value(sqlite3_stmt* stmt, int position, char const* text) {
    bind_value(stmt, position, text != nullptr ? std::string_view(text) : std::string_view());
}

void EventDB::bind_value(sqlite3_stmt* stmt, int position, std::string_view text) {
    // A null data pointer would bind NULL; unset fields are stored as empty text.
    char const* data = text.data() != nullptr ? text.data() : "";
    sqlite3_bind_text64(stmt, position, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void EventDB::bind_value(sqlite3_stmt* stmt, int position, int number) {
    sqlite3_bind_int(stmt, position, number);
}

void EventDB::bind_value(sqlite3_stmt* stmt, int position, std::int64_t number) {
    sqlite3_bind_int64(stmt, position, number);
}

void EventDB::bind_value(sqlite3_stmt* stmt, int position, Blob blob) {
    // A null data pointer would bind NULL; an empty content is an empty blob.
    char const* data = blob.bytes.data() != nullptr ? blob.bytes.data() : "";
    sqlite3_bind_blob64(stmt, position, data, blob.bytes.size(), SQLITE_TRANSIENT);
}

void EventDB::bind_value(sqlite3_stmt* stmt, int position, bool flag) {
    sqlite3_bind_int(stmt, position, flag ? 1 : 0);
}

std::optional<EventDB::Ran> EventDB::step_and_reset(std::string const& sql,
                                                    Statement const& statement) {
    int const rc = sqlite3_step(statement.stmt);
    if (rc == SQLITE_DONE) {
        sqlite3_reset(statement.stmt);
        // The bound copies of the texts go now, not when the next row replaces them.
        sqlite3_clear_bindings(statement.stmt);
        return Ran{};
    }
    if (statement.reused && (rc == SQLITE_ERROR || rc == SQLITE_SCHEMA)) {
        drop_statement(sql);
        return std::nullopt;
    }
    Ran failed{Ran::StepFailed, sqlite3_errmsg(conn_)};
    sqlite3_reset(statement.stmt);
    sqlite3_clear_bindings(statement.stmt);
    return failed;
}

void EventDB::drop_statement(std::string const& sql) {
    if (auto const kept = statements_.find(sql); kept != statements_.end()) {
        sqlite3_finalize(kept->second);
        statements_.erase(kept);
    }
}

void EventDB::bind_null(sqlite3_stmt* stmt, int position) {
    sqlite3_bind_null(stmt, position);
}
