#pragma once

#include "tools/session_report.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The renderers of a reviewer's report, one per format, each over the same analysis.

// How times are shown to a reviewer: in one format throughout, "2026-12-06 22:00:00", in the
// zone of the machine that writes the report (its TZ), or in UTC.
class TimeFormat {
public:
    explicit TimeFormat(bool utc = false) : utc_(utc) {}
    bool utc() const { return utc_; }
    // "-" without a time.
    std::string operator()(std::optional<Timestamp> const& time) const;
    // The zone as a reader needs it, at `time`: "UTC", or "CET, UTC+01:00".
    std::string zone(std::optional<Timestamp> const& time) const;
    // The offset from UTC at `time`, in seconds.
    long offset_seconds(Timestamp time) const;

private:
    bool utc_;
};

// "1 change", "2 changes": the count with the word in the number it takes.
std::string count_of(std::size_t count, std::string_view one, std::string_view many);
// "1 h 05 min", "12 min 30 s", "40 s".
std::string duration_text(std::chrono::milliseconds duration);

// Aligned plain text for a terminal.
void write_text_report(SessionRecord const& record, SessionReport const& report, std::ostream& out,
                       TimeFormat const& times = TimeFormat());

// Version of the JSON document's layout; raised whenever a key changes meaning or goes away.
inline constexpr int REPORT_SCHEMA_VERSION = 2;
nlohmann::json json_report(SessionRecord const& record, SessionReport const& report);
// The shape of the work as the JSON document gives it, per file and for the whole record.
nlohmann::json shape_json(WorkShape const& shape, std::vector<SizePoint> const& sizes);

// One self-contained page: a summary of the files, a glossary, and per file a timeline, the
// shape of the work, the diffs of fast insertions and a replay player.
void write_html_report(SessionRecord const& record, SessionReport const& report, std::ostream& out,
                       TimeFormat const& times = TimeFormat());

// The session in the ProgSnap2 layout below `dir` (created when missing): DatasetMetadata.csv,
// MainTable.csv and CodeStates/<id>/<relative path>. `report` must keep its code states.
void write_progsnap2(SessionRecord const& record, SessionReport const& report,
                     std::filesystem::path const& dir, std::string const& subject);

// A ProgSnap2 export of several subjects' sessions, one after the other, into one MainTable:
// event and code state ids run on across subjects, Order counts within each subject. Each
// distinct code state (a file's path and content) is written once; events that find a file in
// the same state, of any subject, share its CodeStateID.
class ProgSnap2Writer {
public:
    // `subjects_ordered`: the order of events holds within each subject only.
    ProgSnap2Writer(std::filesystem::path dir, bool subjects_ordered);
    ProgSnap2Writer(ProgSnap2Writer const&) = delete;
    ProgSnap2Writer& operator=(ProgSnap2Writer const&) = delete;
    // Appends one subject's session; `report` must keep its code states.
    void add(SessionRecord const& record, SessionReport const& report, std::string const& subject);
    // Throws RecordError when the table could not be written.
    void finish();

private:
    std::filesystem::path dir_;
    std::ofstream table_;
    std::size_t next_event_ = 0;
    std::size_t next_state_ = 0;
    // The code states written, by a hash of their file's name and content.
    struct WrittenState {
        std::size_t id;
        std::filesystem::path name;
        std::filesystem::path path;
    };
    std::unordered_multimap<std::size_t, WrittenState> written_;
};

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

// The shares of a content as one small bar (inline SVG), its title naming each share.
std::string share_bar(OriginCounts const& shares, int width);
// The page's plain-language list of the terms it uses.
char const* glossary_html();

// Row texts may hold terminal control sequences: they are shown as "\x1b", not obeyed.
std::string printable(std::string_view text);

// "&", "<", ">", '"' and "'" as character references.
std::string html_escape(std::string_view text);
// A field as RFC 4180 writes it: quoted, with quotes doubled, when it holds a comma, a quote, CR
// or LF.
std::string csv_field(std::string_view text);
