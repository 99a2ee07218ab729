#include "store/event_db.hpp"

#include "app/log.hpp"
#include "app/startup_error.hpp"
#include "store/recovery_file.hpp"
#include "store/schema.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

namespace {

constexpr char const* HASH_PLACEHOLDER = "<hash>";

// Another writer keeps the database for a moment now and then; wait that long before counting it
// as trouble. Only the writer waits: storing goes on meanwhile.
constexpr int BUSY_TIMEOUT_MS = 1000;
// The pause before trying again rows that could not be written doubles up to its bound.
constexpr std::chrono::milliseconds FIRST_PAUSE{50};
constexpr std::chrono::milliseconds LONGEST_PAUSE{4000};

using Clock = std::chrono::steady_clock;

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
std::int64_t low32(std::uint64_t count) {
    return static_cast<int>(static_cast<std::uint32_t>(count));
}

// A count kept in an INTEGER column, or NULL when there is none.
RowValue optional_number(std::optional<std::uint64_t> number) {
    return number ? RowValue::number(static_cast<std::int64_t>(*number)) : RowValue::null();
}

RowValue flag(bool value) {
    return RowValue::number(value ? 1 : 0);
}

// What a pending row costs in memory, near enough for its bound.
std::size_t row_bytes(PendingRow const& row) {
    std::size_t bytes = sizeof(PendingRow) + row.announcement.size() + row.refusal_note.size();
    for (RowValue const& value : row.values) {
        bytes += sizeof(RowValue) + value.bytes.size();
    }
    return bytes;
}

// Errors that are the row's own (its table or column missing, a constraint it breaks): writing
// it again would fail again. Anything else is the database's state and may pass.
bool refused_for_good(int rc) {
    switch (rc & 0xff) {
        case SQLITE_ERROR:
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
            return true;
        default:
            return false;
    }
}

std::shared_ptr<RowShape const> shape_of(std::string table, std::vector<std::string> columns,
                                         bool placed_after_editor_rows = false) {
    std::vector<RowValue> sample(columns.size());
    if (placed_after_editor_rows) {
        sample.back() = RowValue::latest_id_of("vscode_events");
    }
    return RowShape::make(std::move(table), std::move(columns), sample);
}

}  // namespace

EventDB::EventDB(std::string const& dbpath, EventDBLimits limits)
    : dbpath_(dbpath), limits_(limits) {
    if (auto const reason = open_connection()) {
        fail_open(*reason);
    }
    records_offsets_ = has_column(conn_, "vscode_events", "change_offset");
    file_shape_ =
        shape_of("file_events", {"type", "filepath", "fid", "action", "old_filepath", "directory",
                                 "diff", "handler_type", "incident_type", "hash"});
    std::vector<std::string> editor_columns{
        "timestamp",    "type",          "filepath",      "fid",      "inserted", "deleted",
        "is_undo_redo", "is_copy_paste", "internal_copy", "copy_buf", "is_saved", "hash"};
    std::vector<std::string> snapshot_columns{"filepath", "fid", "reason", "content"};
    if (records_offsets_) {
        // The monitor's own tables, which have the columns added since they first shipped.
        editor_columns.insert(editor_columns.end(), {"change_offset", "copy_source",
                                                     "copy_source_offset", "mirror_seq", "editor"});
        snapshot_columns.emplace_back("mirror_seq");
        last_mirror_seq_ = read_last_mirror_seq();
    }
    editor_shape_ = shape_of("vscode_events", std::move(editor_columns));
    // The snapshot is placed after exactly the editor rows written before it.
    snapshot_columns.emplace_back("after_event_id");
    snapshot_shape_ = shape_of("snapshots", std::move(snapshot_columns), true);
    log_line("[EventDB] initialized successfully dbpath={}", dbpath_);
}

EventDB::~EventDB() {
    bool already_closed = false;
    {
        std::lock_guard lock(mutex_);
        already_closed = closed_.has_value();
    }
    Unwritten const unwritten = close();
    if (!already_closed && unwritten.rows > 0) {
        log_text(unwritten_line(unwritten));
    }
}

std::optional<std::string> EventDB::open_connection() {
    int const rc = sqlite3_open(dbpath_.c_str(), &conn_);
    if (rc != SQLITE_OK) {
        std::string reason = conn_ != nullptr ? sqlite3_errmsg(conn_) : sqlite3_errstr(rc);
        sqlite3_close(conn_);
        conn_ = nullptr;
        return reason;
    }
    // The open creates a missing file but never its directory; an unreadable directory shows
    // up here as a status error.
    struct stat status {};
    if (::stat(dbpath_.c_str(), &status) != 0) {
        std::string reason = errno == ENOENT ? "no database file after open" : std::strerror(errno);
        sqlite3_close(conn_);
        conn_ = nullptr;
        return reason;
    }
    file_device_ = status.st_dev;
    file_inode_ = status.st_ino;
    sqlite3_busy_timeout(conn_, BUSY_TIMEOUT_MS);
    // The journal mode is changed only at the first write (see enter_write_ahead_log): a start
    // that fails, or is refused, leaves the file exactly as it was.
    journal_settled_ = false;
    write_ahead_log_ = journal_mode(nullptr) == "wal";
    if (write_ahead_log_) {
        journal_settled_ = true;
        sqlite3_exec(conn_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
    if (auto schema_error = apply_schema(conn_)) {
        sqlite3_close(conn_);
        conn_ = nullptr;
        return schema_error;
    }
    return std::nullopt;
}

std::string EventDB::journal_mode(char const* wanted) {
    std::string mode;
    std::string const sql =
        wanted != nullptr ? std::string("PRAGMA journal_mode=") + wanted : "PRAGMA journal_mode";
    int const rc = sqlite3_exec(
        conn_, sql.c_str(),
        [](void* out, int count, char** values, char**) {
            if (count > 0 && values[0] != nullptr) {
                *static_cast<std::string*>(out) = values[0];
            }
            return 0;
        },
        &mode, nullptr);
    return rc == SQLITE_OK ? mode : std::string();
}

void EventDB::begin_writing() {
    std::lock_guard conn(conn_mutex_);
    enter_write_ahead_log();
}

void EventDB::enter_write_ahead_log() {
    if (journal_settled_ || conn_ == nullptr) {
        return;
    }
    // Readers then never hold up a commit, and a commit no longer waits for the disk. A database
    // that stays in its own mode (a file system without shared memory) is written as it is; one
    // kept busy by a reader is tried again at the next write.
    std::string const mode = journal_mode("WAL");
    if (mode.empty()) {
        return;
    }
    journal_settled_ = true;
    write_ahead_log_ = mode == "wal";
    if (write_ahead_log_) {
        changed_file_ = true;
        sqlite3_exec(conn_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
}

void EventDB::close_connection(bool stale) {
    drop_statements();
    if (conn_ == nullptr) {
        return;
    }
    // A connection that wrote nothing leaves the file alone: a start refused because another
    // monitor serves the project must not touch that monitor's database.
    if (write_ahead_log_ && (changed_file_ || stale)) {
        // The file alone holds the whole record again. With a reader still inside, the log
        // stays, emptied as far as the reader allows; its last connection removes it. A stale
        // connection's log, named after the path, would be read as part of the database that is
        // there now: emptied, it is harmless.
        sqlite3_wal_checkpoint_v2(conn_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        if (!stale) {
            sqlite3_exec(conn_, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
        }
    }
    sqlite3_close(conn_);
    conn_ = nullptr;
}

void EventDB::fail_open(std::string reason) {
    log_line("[EventDB] error: {} dbpath={}", reason, dbpath_);
    throw StartupError(fmt::format("event database unusable: {}", reason));
}

bool EventDB::store(FileEvent event) {
    PendingRow row;
    row.shape = file_shape_;
    row.values = {RowValue::text(std::move(event.type)),
                  RowValue::text(std::move(event.filepath)),
                  RowValue::text(fid_text(event.fid)),
                  RowValue::text(action2str(event.action)),
                  RowValue::text(std::move(event.old_filepath)),
                  RowValue::text(std::move(event.directory)),
                  RowValue::text(std::move(event.diff)),
                  RowValue::text(std::move(event.handler_type)),
                  RowValue::text(std::move(event.incident_type)),
                  RowValue::text(HASH_PLACEHOLDER)};
    row.announcement = log_format("[EventDB] registering file event... {} @ {}",
                                  action2str(event.action), timestamp2str(event.timestamp));
    return queue_row(std::move(row));
}

bool EventDB::store(VSCodeEvent event) {
    std::string timestamp = timestamp2str(event.timestamp);
    PendingRow row;
    row.shape = editor_shape_;
    row.announcement = log_format(
        "[EventDB] registering vscode event... {} (fid={};{}) inserted {} characters @ {}",
        event.filepath, event.fid.first, event.fid.second,
        net_count_text(event.inserted.size(), event.deleted), timestamp);
    // Twelve columns, and five more where the table records offsets: one allocation.
    row.values.reserve(17);
    row.values.push_back(RowValue::text(std::move(timestamp)));
    row.values.push_back(RowValue::text(std::move(event.change_type)));
    row.values.push_back(RowValue::text(std::move(event.filepath)));
    row.values.push_back(RowValue::text(fid_text(event.fid)));
    row.values.push_back(RowValue::text(std::move(event.inserted)));
    row.values.push_back(RowValue::number(low32(event.deleted)));
    row.values.push_back(flag(event.is_undo_redo));
    row.values.push_back(flag(event.is_copy_paste));
    row.values.push_back(flag(event.internal_copy));
    row.values.push_back(RowValue::text(std::move(event.copy_buf)));
    row.values.push_back(flag(event.is_saved));
    row.values.push_back(RowValue::text(HASH_PLACEHOLDER));
    if (records_offsets_) {
        // Two's complement: a change without a position (all ones) is stored as -1.
        row.values.push_back(RowValue::number(static_cast<std::int64_t>(event.offset)));
        row.values.push_back(event.copy_source ? RowValue::text(std::move(*event.copy_source))
                                               : RowValue::null());
        row.values.push_back(optional_number(event.copy_source_offset));
        row.values.push_back(optional_number(event.mirror_seq));
        row.values.push_back(RowValue::text(std::move(event.editor)));
    }
    return queue_row(std::move(row));
}

bool EventDB::store_snapshot(std::string const& filepath, FileId fid, std::string const& reason,
                             std::string_view content, std::optional<std::uint64_t> mirror_seq) {
    PendingRow row;
    row.shape = snapshot_shape_;
    row.values = {RowValue::text(filepath), RowValue::text(fid_text(fid)), RowValue::text(reason),
                  RowValue::blob(std::string(content))};
    if (records_offsets_) {
        row.values.push_back(optional_number(mirror_seq));
    }
    row.values.push_back(RowValue::latest_id_of("vscode_events"));
    row.announcement = log_format("[EventDB] registering snapshot... {} (fid={};{}) {} of {} bytes",
                                  filepath, fid.first, fid.second, reason, content.size());
    row.refusal_note = log_format("[EventDB] snapshot of {} ({}) not written", filepath, reason);
    return queue_row(std::move(row));
}

bool EventDB::queue_row(PendingRow row) {
    std::size_t const bytes = row_bytes(row);
    std::uint64_t queued = 0;
    bool wake_writer = false;
    bool grouped = false;
    {
        std::unique_lock lock(mutex_);
        if (closed_) {
            log_line("[EventDB] error: a row arrived after the database was closed: {}",
                     row.announcement);
            return false;
        }
        room_cv_.wait(lock, [&] {
            return !writer_.joinable() || !limiting_ || pending_.empty() ||
                   pending_bytes_ + bytes <= limits_.max_pending_bytes;
        });
        pending_.push_back(std::move(row));
        pending_bytes_ += bytes;
        queued = ++queued_count_;
        grouped = writer_.joinable();
        wake_writer = grouped && writer_idle_;
        if (wake_writer && committing_bus_ != nullptr && committing_bus_->delivering_here()) {
            wake_writer = false;
            wake_owed_ = true;
        }
    }
    if (grouped) {
        // Outside the lock: the writer it wakes does not have to wait for it.
        if (wake_writer) {
            writer_cv_.notify_one();
        }
        return true;
    }
    std::lock_guard conn(conn_mutex_);
    note_outcome(write_all(std::chrono::milliseconds(0)));
    std::lock_guard lock(mutex_);
    return settled_count_ >= queued && last_refused_ != queued;
}

void EventDB::enable_group_commit(std::chrono::milliseconds max_group) {
    std::lock_guard lock(mutex_);
    max_group_ = max_group;
    if (!writer_.joinable() && !closing_) {
        writer_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "wardlet-db");
            run_writer();
        });
    }
}

void EventDB::commit_soon() {
    std::unique_lock lock(mutex_);
    commit_requested_ = true;
    if (!wake_owed_) {
        lock.unlock();
        writer_cv_.notify_one();
        return;
    }
    wake_owed_ = false;
    if (!writer_idle_ || closing_) {
        lock.unlock();
        writer_cv_.notify_one();
        return;
    }
    lock.unlock();
    std::optional<Trouble> trouble;
    {
        std::lock_guard conn(conn_mutex_);
        // The bus does not wait for a database kept by another writer: at the first sign of
        // trouble the rows are the writer's, whose own attempt waits, reports and retries.
        if (conn_ != nullptr) {
            sqlite3_busy_timeout(conn_, 0);
        }
        // Every row pending, in one transaction: the commit was asked for, nothing waits.
        trouble = write_group(max_group_);
        if (conn_ != nullptr) {
            sqlite3_busy_timeout(conn_, BUSY_TIMEOUT_MS);
        }
        if (!trouble) {
            note_outcome(trouble);
        }
    }
    std::lock_guard relock(mutex_);
    if (trouble || !pending_.empty()) {
        writer_cv_.notify_one();
    }
}

void EventDB::keep_writing() {
    {
        std::lock_guard lock(mutex_);
        if (!wake_owed_) {
            return;
        }
        wake_owed_ = false;
    }
    writer_cv_.notify_one();
}

void EventDB::commit_with(EventBus& bus) {
    {
        std::lock_guard lock(mutex_);
        committing_bus_ = &bus;
    }
    bus.set_idle_hook([this] { commit_soon(); }, [this] { keep_writing(); });
}

void EventDB::commit_pending() {
    std::unique_lock lock(mutex_);
    if (!writer_.joinable()) {
        lock.unlock();
        std::lock_guard conn(conn_mutex_);
        note_outcome(write_all(std::chrono::milliseconds(0)));
        return;
    }
    std::uint64_t const target = queued_count_;
    std::uint64_t const failures = failed_attempts_;
    commit_requested_ = true;
    writer_cv_.notify_one();
    settled_cv_.wait(lock, [&] {
        return settled_count_ >= target || failed_attempts_ != failures || closed_.has_value();
    });
}

void EventDB::stop_limiting() {
    {
        std::lock_guard lock(mutex_);
        limiting_ = false;
    }
    room_cv_.notify_all();
}

bool EventDB::table_has_column(std::string const& table, std::string const& column) {
    std::lock_guard conn(conn_mutex_);
    return conn_ != nullptr && has_column(conn_, table, column);
}

bool EventDB::write_now(std::vector<PendingRow> const& rows) {
    std::lock_guard conn(conn_mutex_);
    if (auto trouble = write_all(std::chrono::milliseconds(0))) {
        note_outcome(trouble);
        return false;
    }
    if (check_file() || !execute("BEGIN IMMEDIATE")) {
        return false;
    }
    for (PendingRow const& row : rows) {
        Ran const ran = run_kept(row.shape->sql, &row.values);
        if (ran.result != Ran::Done) {
            log_line("{} failed: {}", ran.result == Ran::PrepareFailed ? "prepare" : "step",
                     ran.error);
            roll_back();
            return false;
        }
    }
    if (!execute("COMMIT")) {
        roll_back();
        return false;
    }
    changed_file_ = true;
    if (records_offsets_) {
        // Rows of an earlier run may carry places beyond those the database held at its opening.
        last_mirror_seq_ = std::max(last_mirror_seq_.load(), read_last_mirror_seq());
    }
    return true;
}

EventDB::Unwritten EventDB::close(std::chrono::milliseconds bound) {
    bool run_here = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return *closed_;
        }
        if (!closing_) {
            closing_ = true;
            limiting_ = false;
            close_deadline_ = hurried_ ? Clock::now() : Clock::now() + bound;
            ++close_changes_;
            run_here = !writer_.joinable();
        }
    }
    room_cv_.notify_all();
    writer_cv_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    } else if (run_here) {
        run_writer();
    }
    std::vector<PendingRow> left;
    {
        std::lock_guard lock(mutex_);
        for (PendingRow& row : pending_) {
            // A row the database refused for good was logged; kept, it would be refused again.
            if (!row.refused) {
                left.push_back(std::move(row));
            }
        }
        pending_.clear();
        pending_bytes_ = 0;
    }
    {
        std::lock_guard conn(conn_mutex_);
        close_connection(false);
    }
    Unwritten unwritten;
    if (!left.empty()) {
        auto dir = std::filesystem::path(dbpath_).parent_path();
        unwritten = save_unwritten(dir.empty() ? "." : dir, left);
    }
    {
        std::lock_guard lock(mutex_);
        closed_ = unwritten;
    }
    settled_cv_.notify_all();
    room_cv_.notify_all();
    return unwritten;
}

void EventDB::hurry() {
    {
        std::lock_guard lock(mutex_);
        hurried_ = true;
        close_deadline_ = Clock::now();
        ++close_changes_;
    }
    writer_cv_.notify_all();
}

std::string EventDB::unwritten_line(Unwritten const& unwritten) {
    return log_format(
        "[EventDB] {} received rows could not be written to the database; they are "
        "in {}",
        unwritten.rows, unwritten.place);
}

void EventDB::run_writer() {
    auto pause = FIRST_PAUSE;
    while (true) {
        {
            std::unique_lock lock(mutex_);
            writer_idle_ = true;
            writer_cv_.wait(lock, [this] { return !pending_.empty() || closing_; });
            writer_idle_ = false;
            if (pending_.empty() || (closing_ && Clock::now() >= close_deadline_)) {
                return;
            }
        }
        std::optional<Trouble> trouble;
        {
            std::lock_guard conn(conn_mutex_);
            trouble = write_group(max_group_);
            note_outcome(trouble);
        }
        if (!trouble) {
            pause = FIRST_PAUSE;
            continue;
        }
        std::unique_lock lock(mutex_);
        std::uint64_t const close_changes = close_changes_;
        auto until = Clock::now() + pause;
        if (closing_) {
            until = std::min(until, close_deadline_);
        }
        // A close wakes the pause early: it may have to end sooner.
        writer_cv_.wait_until(lock, until, [&] { return close_changes_ != close_changes; });
        pause = std::min(pause * 2, LONGEST_PAUSE);
    }
}

std::optional<EventDB::Trouble> EventDB::write_all(std::chrono::milliseconds max_group) {
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                return std::nullopt;
            }
        }
        if (auto trouble = write_group(max_group)) {
            return trouble;
        }
    }
}

std::optional<EventDB::Trouble> EventDB::write_group(std::chrono::milliseconds max_group) {
    // The rows are reached through pointers taken under the lock: storing threads append
    // meanwhile, which moves the deque's index but never its elements.
    std::vector<PendingRow*> rows;
    {
        std::lock_guard lock(mutex_);
        take_more(rows);
    }
    if (rows.empty()) {
        return std::nullopt;
    }
    if (auto trouble = check_file()) {
        return trouble;
    }
    Ran const began = run_kept("BEGIN IMMEDIATE", nullptr);
    if (began.result != Ran::Done) {
        return Trouble{began.error};
    }
    auto const started = Clock::now();
    std::size_t written = 0;
    while (written < rows.size()) {
        PendingRow& row = *rows[written];
        if (!row.announced) {
            if (!row.announcement.empty()) {
                log_text(row.announcement);
            }
            row.announced = true;
        }
        if (!row.refused) {
            Ran const ran = run_kept(row.shape->sql, &row.values);
            if (ran.result != Ran::Done && !refused_for_good(ran.rc)) {
                roll_back();
                return Trouble{ran.error};
            }
            if (ran.result != Ran::Done) {
                log_line("{} failed: {}", ran.result == Ran::PrepareFailed ? "prepare" : "step",
                         ran.error);
                if (!row.refusal_note.empty()) {
                    log_text(row.refusal_note);
                }
                row.refused = true;
                // A table declared to roll back on conflict takes the group's rows with it.
                if (sqlite3_get_autocommit(conn_) != 0) {
                    return Trouble{ran.error};
                }
            }
        }
        ++written;
        if (Clock::now() - started >= max_group || written >= MAX_GROUP_ROWS) {
            break;
        }
        if (written == rows.size()) {
            wait_for_more(rows, started + max_group);
        }
    }
    Ran const committed = run_kept("COMMIT", nullptr);
    if (committed.result != Ran::Done) {
        roll_back();
        return Trouble{committed.error};
    }
    changed_file_ = true;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t n = 0; n < written; ++n) {
            ++settled_count_;
            if (pending_.front().refused) {
                last_refused_ = settled_count_;
            }
            pending_bytes_ -= std::min(pending_bytes_, row_bytes(pending_.front()));
            pending_.pop_front();
        }
    }
    room_cv_.notify_all();
    settled_cv_.notify_all();
    return std::nullopt;
}

void EventDB::take_more(std::vector<PendingRow*>& rows) {
    for (std::size_t at = rows.size(); at < pending_.size() && at < MAX_GROUP_ROWS; ++at) {
        rows.push_back(&pending_[at]);
    }
}

void EventDB::wait_for_more(std::vector<PendingRow*>& rows, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    auto const more = [&] { return pending_.size() > rows.size() && rows.size() < MAX_GROUP_ROWS; };
    // While the bus still delivers, more rows are on their way: they share the commit.
    if (!more() && !commit_requested_ && !closing_) {
        writer_waiting_ = true;
        writer_cv_.wait_until(lock, deadline, [&] { return commit_requested_ || closing_; });
        writer_waiting_ = false;
    }
    if (!more()) {
        // The commit that follows holds every row asked for.
        commit_requested_ = false;
    }
    take_more(rows);
}

void EventDB::roll_back() {
    if (conn_ != nullptr && sqlite3_get_autocommit(conn_) == 0) {
        run_kept("ROLLBACK", nullptr);
    }
}

std::optional<EventDB::Trouble> EventDB::check_file() {
    struct stat status {};
    if (conn_ != nullptr && ::stat(dbpath_.c_str(), &status) == 0 &&
        status.st_dev == file_device_ && status.st_ino == file_inode_) {
        enter_write_ahead_log();
        return std::nullopt;
    }
    // Whatever the path names now is where the record goes on; rows meant for a removed file
    // would vanish with it.
    bool const was_open = conn_ != nullptr;
    close_connection(was_open);
    if (auto reason = open_connection()) {
        return Trouble{"database file removed or replaced: " + *reason};
    }
    log_line("[EventDB] database file removed or replaced; writing to the one now at dbpath={}",
             dbpath_);
    enter_write_ahead_log();
    return std::nullopt;
}

void EventDB::note_outcome(std::optional<Trouble> const& trouble) {
    std::size_t pending = 0;
    {
        std::lock_guard lock(mutex_);
        pending = pending_.size();
        if (trouble) {
            ++failed_attempts_;
        }
    }
    if (trouble) {
        settled_cv_.notify_all();
    }
    auto const now = Clock::now();
    if (!trouble) {
        if (trouble_) {
            log_line("[EventDB] rows are written again after: {}; {} rows pending", *trouble_,
                     pending);
            trouble_.reset();
        }
        return;
    }
    if (!trouble_) {
        log_line("[EventDB] error: rows cannot be written: {}; {} rows pending, kept to retry",
                 trouble->cause, pending);
        trouble_ = trouble->cause;
        trouble_reported_ = now;
    } else if (now - trouble_reported_ >= limits_.trouble_reminder) {
        log_line("[EventDB] error: rows still cannot be written: {}; {} rows pending",
                 trouble->cause, pending);
        trouble_reported_ = now;
    }
}

bool EventDB::execute(char const* sql) {
    Ran const ran = run_kept(sql, nullptr);
    if (ran.result != Ran::Done) {
        log_line("[EventDB] {} failed: {}", sql, ran.error);
    }
    return ran.result == Ran::Done;
}

EventDB::Ran EventDB::run_kept(std::string const& sql, std::vector<RowValue> const* values) {
    if (conn_ == nullptr) {
        return {Ran::StepFailed, SQLITE_CANTOPEN, "the database is not open"};
    }
    while (true) {
        Statement const statement = statement_for(sql);
        if (statement.stmt == nullptr) {
            return {Ran::PrepareFailed, statement.rc == SQLITE_OK ? SQLITE_ERROR : statement.rc,
                    prepare_error(statement.rc)};
        }
        if (values != nullptr) {
            bind_values(statement.stmt, *values);
        }
        if (std::optional<Ran> ran = step_and_reset(sql, statement)) {
            return std::move(*ran);
        }
    }
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

std::string EventDB::prepare_error(int rc) const {
    return rc != SQLITE_OK ? sqlite3_errmsg(conn_) : "no statement in the text";
}

void EventDB::bind_values(sqlite3_stmt* stmt, std::vector<RowValue> const& values) {
    int position = 0;
    for (RowValue const& value : values) {
        switch (value.kind) {
            case RowValue::Kind::Null:
                sqlite3_bind_null(stmt, ++position);
                break;
            case RowValue::Kind::Integer:
                sqlite3_bind_int64(stmt, ++position, value.integer);
                break;
            // Bound in place, not copied: the row outlives its one step, after which the
            // bindings are cleared.
            case RowValue::Kind::Text:
                // The full length, NUL bytes included; an empty text stays text, not NULL.
                sqlite3_bind_text64(stmt, ++position, value.bytes.c_str(), value.bytes.size(),
                                    SQLITE_STATIC, SQLITE_UTF8);
                break;
            case RowValue::Kind::Blob:
                sqlite3_bind_blob64(stmt, ++position, value.bytes.c_str(), value.bytes.size(),
                                    SQLITE_STATIC);
                break;
            case RowValue::Kind::LatestIdOf:
                break;  // part of the statement's text
        }
    }
}

std::optional<EventDB::Ran> EventDB::step_and_reset(std::string const& sql,
                                                    Statement const& statement) {
    int const rc = sqlite3_step(statement.stmt);
    if (rc == SQLITE_DONE) {
        sqlite3_reset(statement.stmt);
        // The bindings point into the row: they go before the row may.
        sqlite3_clear_bindings(statement.stmt);
        return Ran{};
    }
    if (statement.reused && (rc == SQLITE_ERROR || rc == SQLITE_SCHEMA)) {
        drop_statement(sql);
        return std::nullopt;
    }
    Ran failed{Ran::StepFailed, rc, sqlite3_errmsg(conn_)};
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

void EventDB::drop_statements() {
    for (auto const& [sql, stmt] : statements_) {
        sqlite3_finalize(stmt);
    }
    statements_.clear();
}
