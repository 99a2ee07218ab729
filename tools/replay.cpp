#include "tools/replay.hpp"

#include "index/text_edit.hpp"
#include "store/schema.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Reads `count` decimal digits at `pos`; no value unless all of them are digits.
std::optional<int> digits_at(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The monitor reads the database while another process may write it.
constexpr int BUSY_TIMEOUT_MS = 5000;

// A read-only connection holding one read transaction, so that every query sees the same state.
class RecordReader {
public:
    explicit RecordReader(fs::path const& database) : path_(database) {
        std::error_code error;
        if (!fs::is_regular_file(database, error)) {
            throw ReplayError(fmt::format("no database at {}", database.native()));
        }
        if (sqlite3_open_v2(database.c_str(), &conn_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            fail("cannot open");
        }
        sqlite3_busy_timeout(conn_, BUSY_TIMEOUT_MS);
        if (sqlite3_exec(conn_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail("cannot read");
        }
    }
    RecordReader(RecordReader const&) = delete;
    RecordReader& operator=(RecordReader const&) = delete;
    ~RecordReader() {
        sqlite3_exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(conn_);
    }

    sqlite3* conn() const { return conn_; }

    [[noreturn]] void fail(char const* what) const {
        throw ReplayError(fmt::format("{} the database {}: {}", what, path_.native(),
                                      conn_ != nullptr ? sqlite3_errmsg(conn_) : "out of memory"));
    }

private:
    fs::path path_;
    sqlite3* conn_ = nullptr;
};

class Statement {
public:
    Statement(RecordReader const& reader, char const* sql) : reader_(reader) {
        if (sqlite3_prepare_v2(reader.conn(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            reader.fail("cannot query");
        }
    }
    Statement(Statement const&) = delete;
    Statement& operator=(Statement const&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    sqlite3_stmt* get() const { return stmt_; }

    // True while there is a row.
    bool next() {
        int const rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            reader_.fail("cannot read");
        }
        return rc == SQLITE_ROW;
    }

    // A column's bytes, whole even across NUL bytes; empty for NULL.
    std::string bytes(int column) const { return std::string(view(column)); }
    // A view of a column's bytes, valid until the next step.
    std::string_view view(int column) const {
        auto const* data = static_cast<char const*>(sqlite3_column_blob(stmt_, column));
        return data == nullptr
                   ? std::string_view()
                   : std::string_view(
                         data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    RecordReader const& reader_;
    sqlite3_stmt* stmt_ = nullptr;
};

// The monitor matches editor paths to mirrored files by path equality (element by element), so
// "/p//a.c" reaches the mirror of "/p/a.c"; texts that are equal need no path built.
bool same_file(std::string_view text, fs::path const& file) {
    return text == file.native() || fs::path(text) == file;
}

void require_record(RecordReader const& reader, fs::path const& database) {
    sqlite3* conn = reader.conn();
    bool const complete = has_column(conn, "vscode_events", "change_offset") &&
                          has_column(conn, "snapshots", "content") &&
                          has_column(conn, "snapshots", "after_event_id") &&
                          has_column(conn, "snapshots", "recorded_at");
    if (!complete) {
        throw ReplayError(fmt::format(
            "the database {} keeps no change offsets and snapshots (it was written by an earlier "
            "monitor or with tables made elsewhere), so no file can be rebuilt from it",
            database.native()));
    }
}

struct SnapshotRow {
    std::int64_t id = 0;
    std::int64_t after_event_id = 0;
    std::string recorded_at;
    std::string reason;
};

SnapshotRow find_snapshot(RecordReader const& reader, fs::path const& database,
                          fs::path const& file, std::optional<Timestamp> at) {
    Statement query(reader,
                    "SELECT id, filepath, recorded_at, after_event_id, reason FROM snapshots "
                    "ORDER BY id DESC");
    std::optional<SnapshotRow> earliest;
    while (query.next()) {
        if (!same_file(query.view(1), file)) {
            continue;
        }
        SnapshotRow row{query.integer(0), query.integer(3), query.bytes(2), query.bytes(4)};
        std::optional<Timestamp> const recorded = parse_time(row.recorded_at);
        if (!recorded) {
            throw ReplayError(fmt::format("snapshot {} in {} has an unreadable recorded_at '{}'",
                                          row.id, database.native(), row.recorded_at));
        }
        if (!at || *recorded <= *at) {
            return row;
        }
        earliest = std::move(row);
    }
    if (!earliest) {
        throw ReplayError(
            fmt::format("no snapshot of {} in {}: the monitor never loaded it as a tracked file",
                        file.native(), database.native()));
    }
    throw ReplayError(fmt::format("{} is before the first snapshot of {} (recorded at {})",
                                  timestamp2str(*at), file.native(), earliest->recorded_at));
}

std::string snapshot_content(RecordReader const& reader, std::int64_t id) {
    Statement query(reader, "SELECT content FROM snapshots WHERE id = ?");
    sqlite3_bind_int64(query.get(), 1, id);
    query.next();
    return query.bytes(0);
}

// One stored change that edits the mirror.
struct StoredEdit {
    std::uint64_t offset;
    std::uint32_t deleted;
    std::string inserted;
};

// The edits of `file` stored after the editor row `after_id`, with a timestamp at or before `at`,
// in the order stored.
std::vector<StoredEdit> edits_after(RecordReader const& reader, fs::path const& file,
                                    std::int64_t after_id, std::optional<Timestamp> at) {
    // Timestamps are fixed-width texts, so their text order is their time order. rowid is the
    // `id` that after_event_id counts.
    Statement rows(reader,
                   "SELECT filepath, change_offset, deleted, inserted, is_saved FROM vscode_events "
                   "WHERE rowid > ?1 AND (?2 IS NULL OR timestamp <= ?2) ORDER BY rowid");
    sqlite3_bind_int64(rows.get(), 1, after_id);
    if (at) {
        std::string const until = timestamp2str(*at);
        sqlite3_bind_text(rows.get(), 2, until.c_str(), -1, SQLITE_TRANSIENT);
    }
    std::vector<StoredEdit> edits;
    while (rows.next()) {
        // A change without a position (-1, or no offset at all) and a save edit nothing.
        if (rows.is_null(1) || rows.integer(1) == -1 || rows.integer(4) != 0 ||
            !same_file(rows.view(0), file)) {
            continue;
        }
        // Only the low 32 bits of the deleted count are kept; read unsigned, they are exact
        // below 4 GiB, far beyond any edited document.
        edits.push_back({static_cast<std::uint64_t>(rows.integer(1)),
                         static_cast<std::uint32_t>(rows.integer(2)), rows.bytes(3)});
    }
    return edits;
}

}  // namespace

std::optional<Timestamp> parse_time(std::string_view text) {
    using namespace std::chrono;
    auto const year_v = digits_at(text, 0, 4);
    auto const month_v = digits_at(text, 5, 2);
    auto const day_v = digits_at(text, 8, 2);
    auto const hour_v = digits_at(text, 11, 2);
    auto const minute_v = digits_at(text, 14, 2);
    auto const second_v = digits_at(text, 17, 2);
    if (!year_v || !month_v || !day_v || !hour_v || !minute_v || !second_v || text[4] != '-' ||
        text[7] != '-' || (text[10] != ' ' && text[10] != 'T' && text[10] != 't') ||
        text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    std::size_t pos = 19;
    std::int64_t nanos = 0;
    if (pos < text.size() && text[pos] == '.') {
        std::size_t const first = ++pos;
        std::int64_t scale = 100'000'000;
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            nanos += (text[pos] - '0') * scale;
            scale /= 10;  // zero past the ninth digit: the rest is dropped
        }
        if (pos == first) {
            return std::nullopt;
        }
    }
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
        ++pos;
    }
    year_month_day const date{year{*year_v}, month{static_cast<unsigned>(*month_v)},
                              day{static_cast<unsigned>(*day_v)}};
    if (pos != text.size() || !date.ok() || *hour_v > 23 || *minute_v > 59 || *second_v > 59) {
        return std::nullopt;
    }
    return Timestamp{sys_days{date}} + hours{*hour_v} + minutes{*minute_v} + seconds{*second_v} +
           nanoseconds{nanos};
}

Replay replay_file(fs::path const& database, fs::path const& file, std::optional<Timestamp> at) {
    Replay replay;
    std::vector<StoredEdit> edits;
    {
        // Everything is read first: the monitor cannot commit while a reader holds the file.
        RecordReader const reader(database);
        require_record(reader, database);
        SnapshotRow const snapshot = find_snapshot(reader, database, file, at);
        replay.content = snapshot_content(reader, snapshot.id);
        replay.snapshot_id = snapshot.id;
        replay.snapshot_reason = snapshot.reason;
        replay.snapshot_recorded_at = snapshot.recorded_at;
        edits = edits_after(reader, file, snapshot.after_event_id, at);
    }
    std::string& content = replay.content;
    for (StoredEdit const& edit : edits) {
        bool in_range = true;
        if (edit.deleted != 0) {
            in_range = delete_text(content, edit.offset, edit.deleted);
        }
        if (!edit.inserted.empty()) {
            in_range = insert_text(content, edit.offset, edit.inserted) && in_range;
        }
        ++(in_range ? replay.applied : replay.ignored);
    }
    return replay;
}
