#pragma once

#include "app/convert.hpp"
#include "tools/record_reader.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Everything a project database holds, read once, read-only, into plain records. Times are kept
// both as the rows' text and as time points; a text that does not parse gives no time point.

struct EditorRow {
    std::int64_t id = 0;
    std::string timestamp;  // when the monitor received the change
    std::optional<Timestamp> time;
    std::string type;
    std::string filepath;
    std::string inserted;
    std::uint32_t deleted = 0;            // the low 32 bits the row keeps, read unsigned
    std::optional<std::uint64_t> offset;  // none for a change without a position
    bool undo_redo = false;
    bool copy_paste = false;
    bool internal_copy = false;
    bool saved = false;
    // Where the monitor found the text of an internal copy: the tracked file, and the byte offset
    // there when known. None in databases that do not keep it.
    std::optional<std::string> copy_source;
    std::optional<std::uint64_t> copy_source_offset;
    // The editor that sent it; rows stored before editors were told apart name none, and came
    // from the VS Code extension.
    std::string editor = "VSCODE";
    // Its place in the order in which changes reached the mirrors; none for a row that edits no
    // mirror, or one stored before that order was kept.
    std::optional<std::int64_t> mirror_seq;
};

struct FileRow {
    std::int64_t id = 0;
    std::string recorded_at;  // file rows carry no other time
    std::optional<Timestamp> time;
    std::string filepath;
    std::string action;
    std::string handler_type;
    std::string incident_type;
    std::string diff;
};

struct SnapshotRow {
    std::int64_t id = 0;
    std::string recorded_at;
    std::string filepath;
    std::string reason;
    std::string content;
    std::int64_t after_event_id = 0;  // placed after this editor row
    // Its place in the mirrors' order (see EditorRow); none in rows stored before it was kept.
    std::optional<std::int64_t> mirror_seq;
};

struct SessionRecord {
    std::filesystem::path database;
    // Rows in the order stored.
    std::vector<EditorRow> editor;
    std::vector<FileRow> files;
    std::vector<SnapshotRow> snapshots;
    // Whether editor rows keep their offsets and snapshots exist, so that files can be replayed.
    bool replayable = false;
};

// The editor rows of a record, one at a time, from one query: every row in the order stored, or,
// given `where_and_order` (an SQL tail such as "WHERE filepath IN (?1) ORDER BY mirror_seq") and
// the texts bound to ?1, ?2, ..., the rows it selects.
class EditorRows {
public:
    explicit EditorRows(RecordReader const& reader,
                        std::string const& where_and_order = "ORDER BY rowid",
                        std::vector<std::string> const& texts = {});
    // Fills `row` with the next row; false after the last one.
    bool next(EditorRow& row);

private:
    std::vector<std::string> texts_;
    Statement rows_;
};

// Calls `visit(row)` for every file row, in the order stored.
void for_each_file_row(RecordReader const& reader, std::function<void(FileRow&&)> const& visit);
// The snapshots in the order stored; with `content`, each with its content, else without it.
std::vector<SnapshotRow> load_snapshots(RecordReader const& reader, bool content);
// The content of the snapshot `id`.
std::string snapshot_content(RecordReader const& reader, std::int64_t id);
// Whether the record's editor rows keep their offsets and it has snapshots, so that files can
// be replayed.
bool is_replayable(RecordReader const& reader);
// Throws RecordError when the database holds neither monitor table.
void require_monitor_tables(RecordReader const& reader);

// The outline of a record: its file rows and snapshots (without content), no editor rows. For
// the paths a record names before it is read in full.
SessionRecord load_outline(std::filesystem::path const& database);

