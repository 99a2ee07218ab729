#pragma once

#include "app/convert.hpp"

#include <cstdint>
#include <filesystem>
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

// Reads the database read-only in one read transaction (the monitor may be writing it). Throws
// RecordError when the file is missing, unreadable, or holds neither monitor table. Tables made
// elsewhere with only the columns the monitor writes are read as far as they go.
SessionRecord load_session(std::filesystem::path const& database);
