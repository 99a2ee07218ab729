#pragma once

#include <optional>
#include <string>

struct sqlite3;

// The tables of a project database. Every statement creates its table only when it is missing,
// so applying the schema to a database that already has its tables leaves them exactly as they
// are. Each row gets an `id` and a `recorded_at` time (UTC, milliseconds) of its insertion.
// Editor rows keep their change offset in `change_offset` (-1 for a change without a position).
char const* schema_sql();
// The `snapshots` table: a file's whole content at a moment, placed after the editor row
// `after_event_id`.
char const* snapshots_sql();

// Applies schema_sql() and snapshots_sql() to an open connection, then, when `vscode_events` keeps
// change offsets (the monitor's own tables), adds the columns added since that are missing: a
// database whose editor rows have none (written by an earlier monitor, or with tables made
// elsewhere) keeps its two tables exactly as they are and only gains `snapshots`. Returns
// SQLite's error message when a table or column could not be created.
std::optional<std::string> apply_schema(sqlite3* conn);

// Whether `table` exists and has a column named `column`.
bool has_column(sqlite3* conn, std::string const& table, std::string const& column);
