#include "tools/session_record.hpp"

#include "store/schema.hpp"
#include "tools/record_reader.hpp"
#include "tools/replay.hpp"

#include <fmt/format.h>

namespace {

// A column that the table may lack is selected as NULL.
std::string column_or_null(sqlite3* conn, char const* table, char const* column) {
    return has_column(conn, table, column) ? column : "NULL";
}

bool has_table(sqlite3* conn, char const* table) {
    // Every table of the monitor has a filepath.
    return has_column(conn, table, "filepath");
}

// Appends to `rows` one row for each result of `sql`, filled from the result by `fill`.
template <typename Row, typename Fill>
void load_rows(RecordReader const& reader, char const* sql, std::vector<Row>& rows, Fill fill) {
    Statement result(reader, sql);
    while (result.next()) {
        fill(result, rows.emplace_back());
    }
}

void load_editor(RecordReader const& reader, SessionRecord& record) {
    sqlite3* conn = reader.conn();
    std::string const sql = fmt::format(
        "SELECT rowid, timestamp, type, filepath, inserted, deleted, {}, is_undo_redo, "
        "is_copy_paste, internal_copy, is_saved, {}, {}, {} FROM vscode_events ORDER BY rowid",
        column_or_null(conn, "vscode_events", "change_offset"),
        column_or_null(conn, "vscode_events", "copy_source"),
        column_or_null(conn, "vscode_events", "copy_source_offset"),
        column_or_null(conn, "vscode_events", "editor"));
    load_rows(reader, sql.c_str(), record.editor, [](Statement const& rows, EditorRow& row) {
        row.id = rows.integer(0);
        row.timestamp = rows.bytes(1);
        row.time = parse_time(row.timestamp);
        row.type = rows.bytes(2);
        row.filepath = rows.bytes(3);
        row.inserted = rows.bytes(4);
        row.deleted = static_cast<std::uint32_t>(rows.integer(5));
        if (!rows.is_null(6) && rows.integer(6) != -1) {
            row.offset = static_cast<std::uint64_t>(rows.integer(6));
        }
        row.undo_redo = rows.integer(7) != 0;
        row.copy_paste = rows.integer(8) != 0;
        row.internal_copy = rows.integer(9) != 0;
        row.saved = rows.integer(10) != 0;
        if (!rows.is_null(11)) {
            row.copy_source = rows.bytes(11);
        }
        if (!rows.is_null(12) && rows.integer(12) >= 0) {
            row.copy_source_offset = static_cast<std::uint64_t>(rows.integer(12));
        }
        if (!rows.is_null(13)) {
            row.editor = rows.bytes(13);
        }
    });
}

void load_files(RecordReader const& reader, SessionRecord& record) {
    std::string const sql = fmt::format(
        "SELECT rowid, {}, filepath, action, handler_type, incident_type, diff FROM file_events "
        "ORDER BY rowid",
        column_or_null(reader.conn(), "file_events", "recorded_at"));
    load_rows(reader, sql.c_str(), record.files, [](Statement const& rows, FileRow& row) {
        row.id = rows.integer(0);
        row.recorded_at = rows.bytes(1);
        row.time = parse_time(row.recorded_at);
        row.filepath = rows.bytes(2);
        row.action = rows.bytes(3);
        row.handler_type = rows.bytes(4);
        row.incident_type = rows.bytes(5);
        row.diff = rows.bytes(6);
    });
}

void load_snapshots(RecordReader const& reader, SessionRecord& record) {
    char const* const sql =
        "SELECT id, recorded_at, filepath, reason, content, after_event_id FROM snapshots ORDER "
        "BY id";
    load_rows(reader, sql, record.snapshots, [](Statement const& rows, SnapshotRow& row) {
        row.id = rows.integer(0);
        row.recorded_at = rows.bytes(1);
        row.filepath = rows.bytes(2);
        row.reason = rows.bytes(3);
        row.content = rows.bytes(4);
        row.after_event_id = rows.integer(5);
    });
}

}  // namespace

SessionRecord load_session(std::filesystem::path const& database) {
    SessionRecord record;
    record.database = database;
    RecordReader const reader(database);
    sqlite3* conn = reader.conn();
    bool const editor = has_table(conn, "vscode_events");
    bool const files = has_table(conn, "file_events");
    if (!editor && !files) {
        throw RecordError(fmt::format(
            "the database {} holds no monitor tables (vscode_events, file_events): it is not a "
            "project database, or the monitor never opened it",
            database.native()));
    }
    if (editor) {
        load_editor(reader, record);
    }
    if (files) {
        load_files(reader, record);
    }
    record.replayable = has_column(conn, "vscode_events", "change_offset") &&
                        has_column(conn, "snapshots", "after_event_id");
    if (record.replayable) {
        load_snapshots(reader, record);
    }
    return record;
}
