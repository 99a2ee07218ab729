#pragma once

#include "tools/session_report.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The renderers of a reviewer's report, one per format, each over the same analysis.

// Aligned plain text for a terminal.
void write_text_report(SessionRecord const& record, SessionReport const& report, std::ostream& out);

// Version of the JSON document's layout; raised whenever a key changes meaning or goes away.
inline constexpr int REPORT_SCHEMA_VERSION = 1;
nlohmann::json json_report(SessionRecord const& record, SessionReport const& report);

// One self-contained page: per file a timeline, the diffs of fast insertions and a replay player.
void write_html_report(SessionRecord const& record, SessionReport const& report, std::ostream& out);

// The session in the ProgSnap2 layout below `dir` (created when missing): DatasetMetadata.csv,
// MainTable.csv and CodeStates/<id>/<relative path>. `report` must keep its code states.
void write_progsnap2(SessionRecord const& record, SessionReport const& report,
                     std::filesystem::path const& dir, std::string const& subject);

// Shared pieces.

// The `= `, `- `, `+ ` lines of a stored line diff around its changes: unchanged lines further
// than `context` from a change become one gap line (kind ' ', text "…N unchanged lines").
struct DiffLine {
    char kind;  // '=', '-', '+', or ' ' for a gap
    std::string_view text;
    std::size_t gap = 0;
};
std::vector<DiffLine> condensed_diff(std::string_view diff, std::size_t context);

// "N (a, b, c bytes)" for a few pastes; for more than MAX_LISTED_PASTES, their total and the
// largest.
inline constexpr std::size_t MAX_LISTED_PASTES = 10;
std::string paste_summary(std::vector<std::size_t> const& sizes);

// "&", "<", ">", '"' and "'" as character references.
std::string html_escape(std::string_view text);
// A field as RFC 4180 writes it: quoted, with quotes doubled, when it holds a comma, a quote, CR
// or LF.
std::string csv_field(std::string_view text);
