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

std::string editor_rows_sql(RecordReader const& reader, std::string const& where_and_order) {
    sqlite3* conn = reader.conn();
    return fmt::format(
        "SELECT rowid, timestamp, type, filepath, inserted, deleted, {}, is_undo_redo, "
        "is_copy_paste, internal_copy, is_saved, {}, {}, {}, {} FROM vscode_events {}",
        column_or_null(conn, "vscode_events", "change_offset"),
        column_or_null(conn, "vscode_events", "copy_source"),
        column_or_null(conn, "vscode_events", "copy_source_offset"),
        column_or_null(conn, "vscode_events", "editor"),
        column_or_null(conn, "vscode_events", "mirror_seq"), where_and_order);
}

void fill_editor_row(Statement const& rows, EditorRow& row) {
    row.id = rows.integer(0);
    row.timestamp.assign(rows.view(1));
    row.time = parse_time(row.timestamp);
    row.type.assign(rows.view(2));
    row.filepath.assign(rows.view(3));
    row.inserted.assign(rows.view(4));
    row.deleted = static_cast<std::uint32_t>(rows.integer(5));
    row.offset.reset();
    if (!rows.is_null(6) && rows.integer(6) != -1) {
        row.offset = static_cast<std::uint64_t>(rows.integer(6));
    }
    row.undo_redo = rows.integer(7) != 0;
    row.copy_paste = rows.integer(8) != 0;
    row.internal_copy = rows.integer(9) != 0;
    row.saved = rows.integer(10) != 0;
    row.copy_source.reset();
    if (!rows.is_null(11)) {
        row.copy_source = rows.bytes(11);
    }
    row.copy_source_offset.reset();
    if (!rows.is_null(12) && rows.integer(12) >= 0) {
        row.copy_source_offset = static_cast<std::uint64_t>(rows.integer(12));
    }
    if (!rows.is_null(13)) {
        row.editor.assign(rows.view(13));
    } else {
        row.editor = "VSCODE";
    }
    row.mirror_seq.reset();
    if (!rows.is_null(14)) {
        row.mirror_seq = rows.integer(14);
    }
}

}  // namespace

EditorRows::EditorRows(RecordReader const& reader, std::string const& where_and_order,
                       std::vector<std::string> const& texts)
    : texts_(texts), rows_(reader, editor_rows_sql(reader, where_and_order).c_str()) {
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        sqlite3_bind_text(rows_.get(), static_cast<int>(i + 1), texts_[i].data(),
                          static_cast<int>(texts_[i].size()), SQLITE_STATIC);
    }
}

bool EditorRows::next(EditorRow& row) {
    if (!rows_.next()) {
        return false;
    }
    fill_editor_row(rows_, row);
    return true;
}

void for_each_file_row(RecordReader const& reader, std::function<void(FileRow&&)> const& visit) {
    if (!has_table(reader.conn(), "file_events")) {
        return;
    }
    std::string const sql = fmt::format(
        "SELECT rowid, {}, filepath, action, handler_type, incident_type, diff FROM file_events "
        "ORDER BY rowid",
        column_or_null(reader.conn(), "file_events", "recorded_at"));
    Statement rows(reader, sql.c_str());
    while (rows.next()) {
        FileRow row;
        row.id = rows.integer(0);
        row.recorded_at = rows.bytes(1);
        row.time = parse_time(row.recorded_at);
        row.filepath = rows.bytes(2);
        row.action = rows.bytes(3);
        row.handler_type = rows.bytes(4);
        row.incident_type = rows.bytes(5);
        row.diff = rows.bytes(6);
        visit(std::move(row));
    }
}

std::vector<SnapshotRow> load_snapshots(RecordReader const& reader, bool content) {
    std::vector<SnapshotRow> snapshots;
    if (!is_replayable(reader)) {
        return snapshots;
    }
    std::string const sql = fmt::format(
        "SELECT id, recorded_at, filepath, reason, {}, after_event_id, {} FROM snapshots ORDER BY "
        "id",
        content ? "content" : "NULL", column_or_null(reader.conn(), "snapshots", "mirror_seq"));
    Statement rows(reader, sql.c_str());
    while (rows.next()) {
        SnapshotRow& row = snapshots.emplace_back();
        row.id = rows.integer(0);
        row.recorded_at = rows.bytes(1);
        row.filepath = rows.bytes(2);
        row.reason = rows.bytes(3);
        row.content = rows.bytes(4);
        row.after_event_id = rows.integer(5);
        if (!rows.is_null(6)) {
            row.mirror_seq = rows.integer(6);
        }
    }
    return snapshots;
}

std::string snapshot_content(RecordReader const& reader, std::int64_t id) {
    Statement query(reader, "SELECT content FROM snapshots WHERE id = ?");
    sqlite3_bind_int64(query.get(), 1, id);
    return query.next() ? query.bytes(0) : std::string();
}

bool is_replayable(RecordReader const& reader) {
    return has_column(reader.conn(), "vscode_events", "change_offset") &&
           has_column(reader.conn(), "snapshots", "after_event_id");
}

void require_monitor_tables(RecordReader const& reader) {
    if (!has_table(reader.conn(), "vscode_events") && !has_table(reader.conn(), "file_events")) {
        throw RecordError(fmt::format(
            "the database {} holds no monitor tables (vscode_events, file_events): it is not a "
            "project database, or the monitor never opened it",
            reader.path().native()));
    }
}

SessionRecord load_outline(std::filesystem::path const& database) {
    SessionRecord record;
    record.database = database;
    RecordReader const reader(database);
    require_monitor_tables(reader);
    for_each_file_row(reader, [&](FileRow&& row) { record.files.push_back(std::move(row)); });
    record.replayable = is_replayable(reader);
    record.snapshots = load_snapshots(reader, false);
    return record;
}

