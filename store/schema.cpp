#include "store/schema.hpp"

#include <sqlite3.h>

namespace {

// File rows carry no time of their own; recorded_at places them on the timeline.
constexpr char const* SCHEMA = R"sql(CREATE TABLE IF NOT EXISTS file_events (
    id INTEGER PRIMARY KEY,
    type TEXT,
    filepath TEXT,
    fid TEXT,
    action TEXT,
    old_filepath TEXT,
    directory TEXT,
    diff TEXT,
    handler_type TEXT,
    incident_type TEXT,
    hash TEXT,
    recorded_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now'))
);
CREATE TABLE IF NOT EXISTS vscode_events (
    id INTEGER PRIMARY KEY,
    timestamp TEXT,
    type TEXT,
    filepath TEXT,
    fid TEXT,
    inserted TEXT,
    deleted INTEGER,
    change_offset INTEGER,
    is_undo_redo INTEGER,
    is_copy_paste INTEGER,
    internal_copy INTEGER,
    copy_buf TEXT,
    is_saved INTEGER,
    hash TEXT,
    recorded_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now')),
    editor TEXT
);
)sql";

// The content a file's mirror held at a moment, placed in the stream of editor rows by
// after_event_id; with the change offsets it lets a reviewer rebuild the file at any moment.
constexpr char const* SNAPSHOTS = R"sql(CREATE TABLE IF NOT EXISTS snapshots (
    id INTEGER PRIMARY KEY,
    recorded_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now')),
    filepath TEXT,
    fid TEXT,
    reason TEXT,
    content BLOB,
    after_event_id INTEGER NOT NULL
);
)sql";

std::optional<std::string> execute(sqlite3* conn, char const* sql) {
    char* message = nullptr;
    if (sqlite3_exec(conn, sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return std::nullopt;
    }
    std::string error = message != nullptr ? message : sqlite3_errmsg(conn);
    sqlite3_free(message);
    return error;
}

}  // namespace

char const* schema_sql() {
    return SCHEMA;
}

char const* snapshots_sql() {
    return SNAPSHOTS;
}

std::optional<std::string> apply_schema(sqlite3* conn) {
    if (auto error = execute(conn, SCHEMA)) {
        return error;
    }
    // Snapshots are of no use without the offsets of the edits that follow them.
    if (!has_column(conn, "vscode_events", "change_offset")) {
        return std::nullopt;
    }
    // Tables made before editors were told apart gain the column; their rows keep NULL.
    if (!has_column(conn, "vscode_events", "editor")) {
        if (auto error = execute(conn, "ALTER TABLE vscode_events ADD COLUMN editor TEXT")) {
            return error;
        }
    }
    return execute(conn, SNAPSHOTS);
}

bool has_column(sqlite3* conn, std::string const& table, std::string const& column) {
    sqlite3_stmt* stmt = nullptr;
    std::string const sql = "SELECT 1 FROM pragma_table_info(?) WHERE name = ?";
    if (sqlite3_prepare_v2(conn, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, column.c_str(), -1, SQLITE_TRANSIENT);
    bool const found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
}
