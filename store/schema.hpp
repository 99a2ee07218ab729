#pragma once

#include <optional>
#include <string>

struct sqlite3;

// The tables of a project database. Every statement creates its table only when it is missing,
// so applying the schema to a database that already has its tables leaves them exactly as they
// are. Each row gets an `id` and a `recorded_at` time (UTC, milliseconds) of its insertion.
char const* schema_sql();

// Applies schema_sql() to an open connection. Returns SQLite's error message when a table could
// not be created, nothing when both tables exist afterwards.
std::optional<std::string> apply_schema(sqlite3* conn);
