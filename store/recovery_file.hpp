#pragma once

#include "store/pending_row.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class EventDB;

// Recovery files: rows the monitor received but could not write before it stopped, kept beside
// the database as "unwritten-<UTC time>.jsonl" and written at the next start.
//
// One row per line, a JSON object: {"table": ..., "columns": [...], "values": [...]}, with every
// column the row was to be written with, and its recording time as `recorded_at`. A value is
// null; an integer as a JSON number; a text as a JSON string when it is valid UTF-8 (NUL bytes
// escaped as \u0000), otherwise {"text_hex": "<its bytes in hexadecimal>"}; a blob as
// {"blob_hex": "..."}; {"latest_id_of": "<table>"} for a value the row takes when it is written
// (a snapshot's place among the editor rows). Rows are rebuilt from it byte for byte.

// Where rows that could not be written went.
struct UnwrittenRows {
    std::size_t rows = 0;
    std::string place;  // the recovery file's path, or "standard error"
};

std::string encode_row(PendingRow const& row);
// Nothing when the line is not a row of this form.
std::optional<PendingRow> decode_row(std::string_view line);

// Writes `rows` to a new recovery file in `dir` (complete, or not at all), or, when that fails,
// one line each to standard error.
UnwrittenRows save_unwritten(std::filesystem::path const& dir, std::vector<PendingRow> const& rows);

// Writes the rows of every recovery file in `dir` to `db`, file after file in name order (which is
// the order they were written), each file in one transaction and removed once its rows are
// committed. A file that cannot be read is kept and named in one log line; when the database
// refuses a file's rows, that file and the later ones are kept for the next start. Call it before
// this session stores any row, so that the rows keep their order.
void import_unwritten(EventDB& db, std::filesystem::path const& dir);
