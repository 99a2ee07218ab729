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
    is_undo_redo INTEGER,
    is_copy_paste INTEGER,
    internal_copy INTEGER,
    copy_buf TEXT,
    is_saved INTEGER,
    hash TEXT,
    recorded_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now'))
);
)sql";

}  // namespace

char const* schema_sql() {
    return SCHEMA;
}

std::optional<std::string> apply_schema(sqlite3* conn) {
    char* message = nullptr;
    if (sqlite3_exec(conn, SCHEMA, nullptr, nullptr, &message) == SQLITE_OK) {
        return std::nullopt;
    }
    std::string error = message != nullptr ? message : sqlite3_errmsg(conn);
    sqlite3_free(message);
    return error;
}
