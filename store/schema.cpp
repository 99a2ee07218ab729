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
    recorded_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now'))
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

// Columns the monitor added to its tables after they first shipped. A database whose tables have
// the monitor's own form (editor rows with `change_offset`) gets each missing one, empty (NULL)
// in the rows stored before; tables made elsewhere keep exactly the columns they have.
struct AddedColumn {
    char const* table;
    char const* column;
    char const* type;
};
constexpr AddedColumn ADDED_COLUMNS[] = {
    // Where an internal copy's text was found: the tracked file, and the byte offset there.
    {"vscode_events", "copy_source", "TEXT"},
    {"vscode_events", "copy_source_offset", "INTEGER"},
    // The order in which changes reached the file's mirror, which replay follows.
    {"vscode_events", "mirror_seq", "INTEGER"},
    {"snapshots", "mirror_seq", "INTEGER"},
    // Which editor sent an editor row; rows stored before editors were told apart keep NULL.
    {"vscode_events", "editor", "TEXT"},
};

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
    if (auto error = execute(conn, SNAPSHOTS)) {
        return error;
    }
    if (!has_column(conn, "vscode_events", "change_offset")) {
        return std::nullopt;
    }
    for (AddedColumn const& added : ADDED_COLUMNS) {
        if (has_column(conn, added.table, added.column)) {
            continue;
        }
        std::string const sql = std::string("ALTER TABLE ") + added.table + " ADD COLUMN " +
                                added.column + " " + added.type;
        if (auto error = execute(conn, sql.c_str())) {
            return error;
        }
    }
    // A file's rows in the order replay reads them: those stored before the mirror's order was
    // kept (no mirror_seq) by id, then the others by mirror_seq.
    std::string const index = std::string("CREATE INDEX IF NOT EXISTS ") +
                              editor_rows_by_file_index() +
                              " ON vscode_events (filepath, mirror_seq)";
    return execute(conn, index.c_str());
}

char const* editor_rows_by_file_index() {
    return "vscode_events_by_file";
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
