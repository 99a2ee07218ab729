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
// change offsets (the monitor's own tables), adds the columns added since that are missing and
// the index editor_rows_by_file_index() on the editor rows' path and mirror order: a
// database whose editor rows have none (written by an earlier monitor, or with tables made
// elsewhere) keeps its two tables exactly as they are and only gains `snapshots`. Returns
// SQLite's error message when a table or column could not be created.
std::optional<std::string> apply_schema(sqlite3* conn);

// The name of the index on `vscode_events (filepath, mirror_seq)`; within one path, its entries
// run by id for the rows without a mirror_seq, then by mirror_seq.
char const* editor_rows_by_file_index();

// Whether `table` exists and has a column named `column`.
bool has_column(sqlite3* conn, std::string const& table, std::string const& column);
