#pragma once

#include "app/convert.hpp"
#include "tools/replay.hpp"
#include "tools/session_record.hpp"
#include "tools/work_shape.hpp"

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

// The figures of a reviewer's report, computed from a record read row by row. Rows are referred
// to by their index in the SessionRecord that comes with the report, which the renderers read
// alongside: the whole record, or only the rows the report refers to (see Keep).

inline constexpr std::size_t NO_INDEX = std::numeric_limits<std::size_t>::max();

// An insertion that is no paste counts as an internal copy only from this size on: a keystroke
// or an auto-closed bracket is found in almost any file, so the monitor's flag says nothing there.
inline constexpr std::size_t MIN_UNPASTED_COPY = 16;

// Whether the row describes the editor's document ("open", "resync", "rename") instead of
// editing it: its text, if any, is not typed and counts as no change.
bool describes_document(EditorRow const& row);

// From which size an insertion in one change that is no paste and no undo/redo counts as a bulk
// insertion (a completion, a snippet, a suggestion accepted, a drop): `bytes` bytes or more, or
// text other than white space on `lines` lines or more. Zero turns a criterion off.
struct BulkThreshold {
    std::size_t bytes = 40;
    std::size_t lines = 2;
};
bool is_bulk(std::string_view inserted, BulkThreshold threshold);

// The origin that an editor row gives to the bytes it inserts.
Origin origin_of(EditorRow const& row, BulkThreshold threshold = {});

// "Insert", "Delete", "Replace", "Paste", "Undo" or "Redo" ("" for a save).
enum class EditType { none, insert, remove, replace, paste, undo, redo };
char const* edit_type_name(EditType type);

enum class ActivityKind { edit, paste, internal_copy, save, fast_insertion, bulk };
struct Activity {
    Timestamp time;
    ActivityKind kind;
    std::size_t bytes = 0;  // inserted by an edit
};

struct OriginRun {
    std::size_t length;
    Origin origin;
};
std::vector<OriginRun> origin_runs(std::vector<Origin> const& origins);

// One step of a file's replay: an editor row applied, or a reset of the content to a snapshot.
struct ReplayStep {
    std::size_t row = NO_INDEX;  // index into SessionRecord::editor
    Origin origin = Origin::typed;
    std::size_t snapshot = NO_INDEX;  // index into SessionRecord::snapshots
    std::vector<OriginRun> runs;      // the origins after a reset or a line-end switch
    // A line-end switch: the editor row replaced the text by itself with other line ends, and
    // every byte kept its origin. `content` is the whole content after it.
    bool line_end_switch = false;
    std::string content;
};

struct FileReport {
    std::filesystem::path path;
    std::filesystem::path relative;  // to the project; never leaves it
    // Kept with Keep::everything only: its editor rows (SessionRecord::editor) and file rows
    // (SessionRecord::files), in the order stored.
    std::vector<std::size_t> rows;
    std::vector<std::size_t> file_rows;

    std::size_t changes = 0;  // editor rows other than saves
    std::size_t bytes_inserted = 0;
    std::size_t bytes_deleted = 0;
    std::size_t undo_redo = 0;
    std::size_t saves = 0;
    std::vector<std::string> editors;          // that sent its rows, in alphabetical order
    std::vector<std::size_t> pastes;           // rows whose origin is a paste from elsewhere
    std::vector<std::size_t> internal_copies;  // rows whose origin is an internal copy
    std::vector<std::size_t> bulk;             // rows whose origin is a bulk insertion
    std::vector<std::size_t> fast_insertions;  // file rows of fast insertions
    // Snapshots (SessionRecord::snapshots) of the editor's text, set when the editor first showed
    // the document or brought the record back to its text, that differed from what the record
    // held: the editor had text that never came through its changes (unsaved at start, say).
    std::vector<std::size_t> editor_texts;
    std::vector<std::size_t> between_runs;  // those of changes made while no monitor ran
    std::vector<Activity> activity;         // in time order; Keep::everything only
    std::optional<Timestamp> first_activity;
    std::optional<Timestamp> last_activity;
    WorkShape shape;
    std::size_t line_end_switches = 0;

    // From the replay, when the record allows one; otherwise `not_replayed` says why. The replay
    // applies the file's rows in the order they reached the mirror, as replay_file does.
    std::string not_replayed;
    std::size_t start_snapshot = NO_INDEX;
    std::vector<ReplayStep> steps;  // Keep::everything only
    OriginCounts shares{};
    std::string final_content;
};

// One row of the session in the order of time, for exports that list events.
struct SessionEvent {
    enum class Kind { edit, save, fast_insertion, internal_copy };
    Kind kind;
    Timestamp time;
    std::size_t file;            // index into SessionReport::files
    std::size_t row = NO_INDEX;  // editor row, or file row of a fast insertion
    EditType edit_type = EditType::none;
    std::string removed;                // bytes the edit removed, from the replay
    std::size_t code_state = NO_INDEX;  // the state written at this event
};

// The content of a file written at a save or a fast insertion.
struct CodeState {
    std::size_t file;
    std::string content;
};

struct SessionReport {
    std::filesystem::path project;
    std::filesystem::path database;
    std::vector<FileReport> files;
    std::optional<Timestamp> first_activity;
    std::optional<Timestamp> last_activity;
    std::vector<SessionEvent> events;  // Keep::everything only
    // Only when asked for: each distinct content of a file once, the events that find the file
    // in that content sharing it.
    std::vector<CodeState> code_states;
    bool empty = true;                   // no row in any table
    WorkShape shape;                     // of every tracked file together; its sizes are below
    std::vector<SizePoint> total_sizes;  // the files' sizes summed
    BulkThreshold bulk_threshold;
};

// The tracked file with this path, or NO_INDEX.
std::size_t file_index(SessionReport const& report, std::filesystem::path const& path);
// Where an internal copy's text was found, as a path in the project ("" when not recorded).
std::filesystem::path copy_source_of(SessionReport const& report, EditorRow const& row);

// How much a file needs a reviewer's look: the bytes of its final content that did not come
// from typing or from its start (pasted, internal copies, bulk insertions, fast insertions), as
// a share, then the count of such events. Files that need it most sort first.
struct Attention {
    double share = 0;
    std::size_t events = 0;
};
Attention attention_of(FileReport const& file);
// The files' indices, the ones that need a look most first, then by path.
std::vector<std::size_t> files_by_attention(SessionReport const& report);

// How much of the record an analysis keeps besides the report's figures.
enum class Keep {
    // The rows the report lists (pastes, internal copies, bulk insertions, fast insertions) and
    // the snapshots it names, with their content only where it shows it (editor texts): memory
    // grows with the files and what they hold, not with the number of rows.
    summary,
    // Every row and snapshot, and per file its rows, replay steps and activity, and the events:
    // for the page and the ProgSnap2 export.
    everything,
};

// A report with the record it refers to.
struct AnalysedRecord {
    SessionRecord record;
    SessionReport report;
};

// Analyses the record at `database` of `project`, reading it once, row by row, read-only. The
// tracked files are `tracked` (the file map's paths) and every file the monitor took a snapshot
// of, compared as paths. With `keep_code_states` (which needs Keep::everything), the replayed
// content is kept at every save and fast insertion. Throws RecordError when the database cannot
// be read.
AnalysedRecord analyse_record(std::filesystem::path const& database,
                              std::filesystem::path const& project,
                              std::vector<std::filesystem::path> const& tracked, Keep keep,
                              bool keep_code_states = false, BulkThreshold bulk = {});

// "2026-12-06T21:00:00.123456789Z".
std::string iso_time(Timestamp time);

// A path inside the project for every file: files outside it keep their whole path below
// "_outside", so that exports never write beyond their directory.
std::filesystem::path relative_path(std::filesystem::path const& file,
                                    std::filesystem::path const& project);
