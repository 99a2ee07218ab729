#pragma once

#include "events/file_id.hpp"
#include "files/tracking_patterns.hpp"

#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A call of wardlet-track that cannot be carried out; nothing was written for it.
class TrackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a project keeps the monitor's data.
struct ProjectFiles {
    std::filesystem::path data_dir;  // <proj_dir>/.wardlet
    std::filesystem::path database;  // <proj_dir>/.wardlet/wardlet.sqlite3
    std::filesystem::path map;       // <proj_dir>/.wardlet/tracked
    std::filesystem::path patterns;  // <proj_dir>/.wardlet/patterns
};
ProjectFiles project_files(std::filesystem::path const& proj_dir);

// The form in which the editor reports a document: absolute and lexically normal, symbolic
// links left as they are.
std::filesystem::path editor_path(std::filesystem::path const& path);

// One map line as the tool writes it: "inode;device;path".
std::string map_line(FileId fid, std::filesystem::path const& path);

// One line of the map file as it stands. `fid` and `filepath` are what the monitor reads from
// it; a line that the monitor skips has no `fid` and says why in `problem`.
struct MapLine {
    std::string text;
    std::optional<FileId> fid;
    std::filesystem::path filepath;
    std::string problem;
};
MapLine read_map_line(std::string const& text);

// The lines of a map text; a final line without a line feed counts.
std::vector<MapLine> map_lines(std::string const& text);
std::string map_text(std::vector<MapLine> const& lines);
// The paths of the map file at `map` that the monitor tracks, in the map's order; none when the
// file is missing or unreadable.
std::vector<std::filesystem::path> tracked_paths(std::filesystem::path const& map);

// A file named on the command line, checked and identified.
struct TrackedFile {
    FileId fid;
    std::filesystem::path filepath;  // editor_path of the name given
};

// Checks that `name` is a regular file whose path a map line can hold. Throws TrackError naming
// the file otherwise.
TrackedFile identify_file(std::filesystem::path const& name);

// What an edit did to one file, for the tool's report.
struct MapChange {
    enum class Kind { added, updated, unchanged, removed };
    Kind kind;
    std::string line;           // the line added, kept or removed
    std::string previous_line;  // for `updated`: the line it replaced
};

// Adds one line per file, replacing every line with the same file id in place (at the first
// of them) and appending the others; all other lines stay as they are.
std::vector<MapChange> add_to_map(std::vector<MapLine>& lines,
                                  std::vector<TrackedFile> const& files);

// Drops every line that names `filepath` (after normalisation) or, when the file exists, its
// file id. Throws TrackError when no line matches.
std::vector<MapChange> remove_from_map(std::vector<MapLine>& lines,
                                       std::filesystem::path const& name);

// Replaces `target` with `content` in one step: a reader sees either the old file or the new
// one. The content is written to a temporary file in the same directory, synced and renamed.
void write_atomically(std::filesystem::path const& target, std::string const& content);

// Creates the data directory when missing and the database with the monitor's tables.
void prepare_project(std::filesystem::path const& proj_dir);

// Tracking patterns: see files/tracking_patterns.hpp. Directories named by skipped_directory()
// are never searched.

// Why `pattern` cannot be recorded (empty, a line feed, a leading "#", a ".." segment), or
// nothing when it can.
std::optional<std::string> pattern_problem(std::string const& pattern);

// Every regular file below `proj_dir` that the patterns match (symbolic links to regular files
// included, linked directories not followed), in the editor's path form, sorted.
std::vector<std::filesystem::path> matching_files(std::filesystem::path const& proj_dir,
                                                  std::vector<std::string> const& patterns);

// A file name as given on the command line: an absolute path as it is; a relative one from the
// current directory when a file exists there, else from the project directory.
std::filesystem::path resolve_name(std::filesystem::path const& proj_dir,
                                   std::filesystem::path const& name);

// The commands of wardlet-track. Each reports what it did on `out` and throws TrackError when
// refused; a refused call writes nothing.
//
// track_files tracks the named files and records `patterns`; when patterns are given, every
// existing file that the recorded patterns match is tracked too.
void track_files(std::filesystem::path const& proj_dir,
                 std::vector<std::filesystem::path> const& names,
                 std::vector<std::string> const& patterns, std::ostream& out);
// Drops patterns from the patterns file; the files they matched stay tracked.
void remove_patterns(std::filesystem::path const& proj_dir,
                     std::vector<std::string> const& patterns, std::ostream& out);
void untrack_files(std::filesystem::path const& proj_dir,
                   std::vector<std::filesystem::path> const& names, std::ostream& out);
void list_tracked(std::filesystem::path const& proj_dir, std::ostream& out);
