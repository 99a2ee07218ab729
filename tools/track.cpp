#include "tools/track.hpp"

#include "app/private_files.hpp"

#include "app/file_content.hpp"
#include "editor/filemap.hpp"
#include "files/atomic_write.hpp"
#include "store/schema.hpp"

#include <fnmatch.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {

std::string quoted(fs::path const& path) {
    return "'" + path.native() + "'";
}

// True when a usable map line names this file: by its id, or by its path (a line left from
// before the file was replaced, and so got a new inode, still names it).
bool names_file(MapLine const& line, std::optional<FileId> fid, fs::path const& filepath) {
    if (!line.fid) {
        return false;
    }
    return (fid && *line.fid == *fid) || line.filepath.lexically_normal() == filepath;
}

// The file map's lock, its failures reported as the tool's own.
class DirectoryLock {
public:
    explicit DirectoryLock(fs::path const& dir) : lock_(take(dir)) {}

private:
    static std::unique_ptr<FileMapLock> take(fs::path const& dir) {
        try {
            return std::make_unique<FileMapLock>(dir);
        } catch (FileMapWriteError const& error) {
            throw TrackError(error.what());
        }
    }
    std::unique_ptr<FileMapLock> lock_;
};

bool names_any(std::vector<MapLine> const& lines, fs::path const& filepath) {
    return std::any_of(lines.begin(), lines.end(), [&](MapLine const& line) {
        return names_file(line, std::nullopt, filepath);
    });
}

void require_project_dir(fs::path const& proj_dir) {
    std::error_code error;
    auto const status = fs::status(proj_dir, error);
    if (!fs::exists(status)) {
        throw TrackError("project directory " + quoted(proj_dir) + " does not exist");
    }
    if (!fs::is_directory(status)) {
        throw TrackError("project directory " + quoted(proj_dir) + " is not a directory");
    }
}

std::string read_text_or_empty(fs::path const& path, char const* what);

std::vector<MapLine> read_map(fs::path const& map) {
    return map_lines(read_text_or_empty(map, "file map"));
}

void report(std::ostream& out, std::vector<MapChange> const& changes) {
    for (auto const& change : changes) {
        switch (change.kind) {
            case MapChange::Kind::added:
                out << "added     " << change.line << '\n';
                break;
            case MapChange::Kind::updated:
                out << "updated   " << change.line << "  (was " << change.previous_line << ")\n";
                break;
            case MapChange::Kind::unchanged:
                out << "unchanged " << change.line << '\n';
                break;
            case MapChange::Kind::removed:
                out << "removed   " << change.line << '\n';
                break;
        }
    }
}

std::string read_text_or_empty(fs::path const& path, char const* what) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) {
        return {};
    }
    auto const content = read_file_content(path);
    if (!content) {
        // Rewriting a file that could not be read would lose its lines.
        throw TrackError(std::string("cannot read the ") + what + " " + quoted(path));
    }
    return *content;
}

std::string pattern_text(std::vector<std::string> const& lines) {
    std::string text;
    for (auto const& line : lines) {
        text += line;
        text += '\n';
    }
    return text;
}

constexpr char const* kPatternsHeader =
    "# Files wardlet tracks: one gitignore-style glob per line, relative to the project.";

}  // namespace

ProjectFiles project_files(fs::path const& proj_dir) {
    fs::path const data_dir = proj_dir / ".wardlet";
    return {data_dir, data_dir / "wardlet.sqlite3", data_dir / "tracked", data_dir / "patterns"};
}

fs::path editor_path(fs::path const& path) {
    return fs::absolute(path).lexically_normal();
}

std::string map_line(FileId fid, fs::path const& path) {
    return std::to_string(fid.first) + ";" + std::to_string(fid.second) + ";" + path.native();
}

MapLine read_map_line(std::string const& text) {
    if (text.empty()) {
        return MapLine{text, std::nullopt, {}, "empty line"};
    }
    FileMapLine parsed = parse_filemap_line(text);
    return MapLine{text, parsed.fid, std::move(parsed.filepath), std::move(parsed.problem)};
}

std::vector<MapLine> map_lines(std::string const& text) {
    std::vector<MapLine> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(read_map_line(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

std::vector<fs::path> tracked_paths(fs::path const& map) {
    std::ifstream in(map, std::ios::binary);
    std::string const text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<fs::path> paths;
    for (MapLine const& line : map_lines(text)) {
        if (line.fid) {
            paths.push_back(line.filepath);
        }
    }
    return paths;
}

std::string map_text(std::vector<MapLine> const& lines) {
    std::string text;
    for (auto const& line : lines) {
        text += line.text;
        text += '\n';
    }
    return text;
}

TrackedFile identify_file(fs::path const& name) {
    fs::path const filepath = editor_path(name);
    std::error_code error;
    auto const status = fs::status(filepath, error);
    if (!fs::exists(status)) {
        throw TrackError(quoted(name) + ": no such file");
    }
    if (!fs::is_regular_file(status)) {
        throw TrackError(quoted(name) + ": not a regular file");
    }
    if (!filemap_can_hold(filepath.native())) {
        throw TrackError(quoted(name) + ": a path with ';' or a line feed cannot be tracked");
    }
    FileId const fid = file_id_of(filepath);
    if (fid == FileId{0, 0}) {
        throw TrackError(quoted(name) + ": cannot read its status");
    }
    return {fid, filepath};
}

namespace {

// A file outside the project, or a link placed in the project towards a private file elsewhere,
// would copy that file into the record; the monitor reads neither, so neither is tracked.
TrackedFile identify_project_file(fs::path const& proj_dir, fs::path const& name) {
    if (!lies_within(name, proj_dir)) {
        throw TrackError(quoted(name) + ": outside the project");
    }
    if (links_outside(name, proj_dir)) {
        throw TrackError(quoted(name) + ": a symbolic link leading outside the project");
    }
    return identify_file(name);
}

}  // namespace

std::vector<MapChange> add_to_map(std::vector<MapLine>& lines,
                                  std::vector<TrackedFile> const& files) {
    // One entry per file id; a later name of the same file (a hard link) wins, as in the map.
    std::vector<TrackedFile> unique;
    std::map<FileId, std::size_t> by_fid;
    for (auto const& file : files) {
        auto const [found, added] = by_fid.try_emplace(file.fid, unique.size());
        if (added) {
            unique.push_back(file);
        } else {
            unique[found->second] = file;
        }
    }
    std::unordered_map<std::string, std::size_t> by_path;
    for (std::size_t index = 0; index < unique.size(); ++index) {
        by_path.emplace(unique[index].filepath.native(), index);
    }

    std::vector<std::optional<std::size_t>> slot(unique.size());
    std::vector<std::string> previous(unique.size());
    std::vector<MapLine> kept;
    for (auto& line : lines) {
        std::optional<std::size_t> owner;
        if (line.fid) {
            if (auto const found = by_fid.find(*line.fid); found != by_fid.end()) {
                owner = found->second;
            } else if (auto const named = by_path.find(line.filepath.lexically_normal().native());
                       named != by_path.end()) {
                owner = named->second;
            }
        }
        if (!owner) {
            kept.push_back(std::move(line));
        } else if (!slot[*owner]) {
            slot[*owner] = kept.size();
            previous[*owner] = line.text;
            kept.push_back(read_map_line(map_line(unique[*owner].fid, unique[*owner].filepath)));
        }
    }

    std::vector<MapChange> changes;
    for (std::size_t index = 0; index < unique.size(); ++index) {
        std::string const text = map_line(unique[index].fid, unique[index].filepath);
        if (!slot[index]) {
            kept.push_back(read_map_line(text));
            changes.push_back({MapChange::Kind::added, text, {}});
        } else if (previous[index] == text) {
            changes.push_back({MapChange::Kind::unchanged, text, {}});
        } else {
            changes.push_back({MapChange::Kind::updated, text, previous[index]});
        }
    }
    lines = std::move(kept);
    return changes;
}

std::vector<MapChange> remove_from_map(std::vector<MapLine>& lines, fs::path const& name) {
    fs::path const filepath = editor_path(name);
    std::optional<FileId> fid = file_id_of(filepath);
    if (*fid == FileId{0, 0}) {
        fid.reset();
    }
    std::vector<MapChange> changes;
    for (auto const& line : lines) {
        if (names_file(line, fid, filepath)) {
            changes.push_back({MapChange::Kind::removed, line.text, {}});
        }
    }
    if (changes.empty()) {
        throw TrackError(quoted(name) + ": not tracked");
    }
    std::erase_if(lines, [&](MapLine const& line) { return names_file(line, fid, filepath); });
    return changes;
}

void write_atomically(fs::path const& target, std::string const& content) {
    try {
        write_filemap_atomically(target, content);
    } catch (FileMapWriteError const& error) {
        throw TrackError(error.what());
    }
}

void prepare_project(fs::path const& proj_dir) {
    require_project_dir(proj_dir);
    ProjectFiles const files = project_files(proj_dir);
    if (!ensure_private_directory(files.data_dir)) {
        int const error = errno;
        throw TrackError("cannot create the data directory " + quoted(files.data_dir) +
                         (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    }
    create_private_file(files.database);
    sqlite3* conn = nullptr;
    int const opened = sqlite3_open_v2(files.database.c_str(), &conn,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::optional<std::string> problem;
    if (opened != SQLITE_OK) {
        problem = conn != nullptr ? sqlite3_errmsg(conn) : sqlite3_errstr(opened);
    } else {
        // The monitor may be writing rows at this moment.
        sqlite3_busy_timeout(conn, 5000);
        problem = apply_schema(conn);
    }
    sqlite3_close(conn);
    if (problem) {
        throw TrackError("cannot prepare the database " + quoted(files.database) + ": " + *problem);
    }
}

std::optional<std::string> pattern_problem(std::string const& pattern) {
    std::string_view body = pattern;
    if (!body.empty() && body.front() == '!') {
        body.remove_prefix(1);
    }
    if (path_segments(body).empty()) {
        return "an empty pattern matches nothing";
    }
    if (pattern.find_first_of("\n\r") != std::string::npos) {
        return "a pattern cannot hold a line feed";
    }
    if (pattern.front() == '#') {
        return "a pattern cannot begin with '#', which starts a comment (write \\# for the name)";
    }
    if (trim_line_end(pattern) != pattern) {
        return "a pattern cannot end with a space";
    }
    for (auto const segment : path_segments(body)) {
        if (segment == "..") {
            return "a pattern cannot leave the project directory ('..')";
        }
    }
    return std::nullopt;
}

std::vector<fs::path> matching_files(fs::path const& proj_dir,
                                     std::vector<std::string> const& patterns) {
    fs::path const root = editor_path(proj_dir);
    std::vector<fs::path> found;
    std::error_code error;
    fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied,
                                          error);
    if (error) {
        throw TrackError("cannot search " + quoted(root) + ": " + error.message());
    }
    for (auto const end = fs::recursive_directory_iterator(); walk != end; walk.increment(error)) {
        if (error) {
            throw TrackError("cannot search " + quoted(root) + ": " + error.message());
        }
        fs::directory_entry const& entry = *walk;
        std::error_code status_error;
        if (entry.is_directory(status_error) && !entry.is_symlink(status_error)) {
            if (skipped_directory(entry.path().filename().native())) {
                walk.disable_recursion_pending();
            }
            continue;
        }
        if (entry.is_regular_file(status_error) &&
            patterns_match(patterns, entry.path().lexically_relative(root).generic_string())) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

fs::path resolve_name(fs::path const& proj_dir, fs::path const& name) {
    std::error_code error;
    if (name.is_absolute() ||
        (fs::exists(fs::symlink_status(name, error)) && lies_within(name, proj_dir))) {
        return name;
    }
    fs::path const in_project = proj_dir / name;
    return fs::exists(fs::symlink_status(in_project, error)) ? in_project : name;
}

void track_files(fs::path const& proj_dir, std::vector<fs::path> const& names,
                 std::vector<std::string> const& patterns, std::ostream& out) {
    require_project_dir(proj_dir);
    std::vector<TrackedFile> files;
    std::string refusals;
    auto const refuse = [&refusals](std::string const& reason) {
        refusals += (refusals.empty() ? "" : "\n") + reason;
    };
    for (auto const& name : names) {
        try {
            files.push_back(identify_project_file(proj_dir, resolve_name(proj_dir, name)));
        } catch (TrackError const& refusal) {
            refuse(refusal.what());
        }
    }
    for (auto const& pattern : patterns) {
        if (auto const problem = pattern_problem(pattern)) {
            refuse("pattern '" + pattern + "': " + *problem);
        }
    }
    if (!refusals.empty()) {
        throw TrackError(refusals);
    }
    prepare_project(proj_dir);
    ProjectFiles const paths = project_files(proj_dir);
    DirectoryLock const lock(paths.data_dir);

    std::vector<std::string> notes;
    if (!patterns.empty()) {
        std::vector<std::string> lines =
            text_lines(read_text_or_empty(paths.patterns, "patterns file"));
        if (lines.empty()) {
            lines.emplace_back(kPatternsHeader);
        }
        std::vector<std::string> recorded = pattern_lines(pattern_text(lines));
        bool changed = false;
        std::vector<std::string> pattern_notes;
        for (auto const& pattern : patterns) {
            if (std::find(recorded.begin(), recorded.end(), pattern) == recorded.end()) {
                recorded.push_back(pattern);
                lines.push_back(pattern);
                changed = true;
                pattern_notes.push_back("pattern   " + pattern);
            } else {
                pattern_notes.push_back("pattern   " + pattern + "  (already recorded)");
            }
        }
        fs::path const root = editor_path(proj_dir);
        std::vector<fs::path> const matched = matching_files(proj_dir, recorded);
        for (auto const& path : matched) {
            try {
                files.push_back(identify_project_file(proj_dir, path));
            } catch (TrackError const& refusal) {
                // One unusual name must not keep the rest of the project untracked.
                notes.push_back("skipped   " + std::string(refusal.what()));
            }
        }
        for (std::size_t index = 0; index < patterns.size(); ++index) {
            std::vector<std::string> const alone{patterns[index]};
            bool const matches_some = std::any_of(matched.begin(), matched.end(), [&](auto& path) {
                return patterns_match(alone, path.lexically_relative(root).generic_string());
            });
            if (!matches_some && patterns[index].front() != '!') {
                pattern_notes[index] += "  (no file yet)";
            }
        }
        notes.insert(notes.begin(), pattern_notes.begin(), pattern_notes.end());
        if (changed) {
            write_atomically(paths.patterns, pattern_text(lines));
        }
    }
    std::vector<MapLine> lines = read_map(paths.map);
    auto const changes = add_to_map(lines, files);
    write_atomically(paths.map, map_text(lines));
    for (auto const& note : notes) {
        out << note << '\n';
    }
    report(out, changes);
}

namespace {

// The files of a project that something is tracked in already: a removal needs them.
ProjectFiles existing_project_files(fs::path const& proj_dir) {
    require_project_dir(proj_dir);
    ProjectFiles paths = project_files(proj_dir);
    std::error_code error;
    if (!fs::is_directory(paths.data_dir, error)) {
        throw TrackError("no data directory " + quoted(paths.data_dir) + ": nothing is tracked");
    }
    return paths;
}

}  // namespace

void remove_patterns(fs::path const& proj_dir, std::vector<std::string> const& patterns,
                     std::ostream& out) {
    ProjectFiles const paths = existing_project_files(proj_dir);
    DirectoryLock const lock(paths.data_dir);
    std::vector<std::string> lines =
        text_lines(read_text_or_empty(paths.patterns, "patterns file"));
    std::string refusals;
    for (auto const& pattern : patterns) {
        auto const recorded = [&](std::string const& line) {
            return is_pattern_line(line) && trim_line_end(line) == pattern;
        };
        if (std::none_of(lines.begin(), lines.end(), recorded)) {
            refusals +=
                (refusals.empty() ? "" : "\n") + ("pattern '" + pattern + "': not recorded");
        }
        std::erase_if(lines, recorded);
    }
    if (!refusals.empty()) {
        throw TrackError(refusals);
    }
    write_atomically(paths.patterns, pattern_text(lines));
    for (auto const& pattern : patterns) {
        out << "removed   pattern " << pattern << '\n';
    }
    out << "files it matched stay tracked; --remove stops tracking a file\n";
}

void untrack_files(fs::path const& proj_dir, std::vector<fs::path> const& names,
                   std::ostream& out) {
    ProjectFiles const paths = existing_project_files(proj_dir);
    DirectoryLock const lock(paths.data_dir);
    std::vector<MapLine> lines = read_map(paths.map);
    std::vector<MapChange> changes;
    std::string refusals;
    std::vector<fs::path> seen;
    for (auto const& given : names) {
        fs::path name = resolve_name(proj_dir, given);
        // A deleted file named relative to the project is found by the path its line holds.
        if (name.is_relative() && !names_any(lines, editor_path(name)) &&
            names_any(lines, editor_path(proj_dir / name))) {
            name = proj_dir / name;
        }
        fs::path const filepath = editor_path(name);
        if (std::find(seen.begin(), seen.end(), filepath) != seen.end()) {
            continue;
        }
        seen.push_back(filepath);
        try {
            auto const removed = remove_from_map(lines, name);
            changes.insert(changes.end(), removed.begin(), removed.end());
        } catch (TrackError const& refusal) {
            refusals += (refusals.empty() ? "" : "\n") + std::string(refusal.what());
        }
    }
    if (!refusals.empty()) {
        throw TrackError(refusals);
    }
    write_atomically(paths.map, map_text(lines));
    report(out, changes);
}

void list_tracked(fs::path const& proj_dir, std::ostream& out) {
    require_project_dir(proj_dir);
    for (auto const& pattern :
         pattern_lines(read_text_or_empty(project_files(proj_dir).patterns, "patterns file"))) {
        out << "pattern   " << pattern << '\n';
    }
    std::vector<MapLine> const lines = read_map(project_files(proj_dir).map);
    ProjectFolder const folder(proj_dir);
    // The monitor keeps the last line of each file id.
    std::map<FileId, std::size_t> last_of;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        if (lines[index].fid) {
            last_of[*lines[index].fid] = index;
        }
    }
    for (std::size_t index = 0; index < lines.size(); ++index) {
        MapLine const& line = lines[index];
        if (line.text.empty()) {
            continue;
        }
        if (!line.fid || !folder.holds(line.filepath)) {
            out << "unusable  line " << index + 1 << ": " << line.text << "  ("
                << (line.fid ? "outside the project" : line.problem) << ")\n";
            continue;
        }
        if (last_of[*line.fid] != index) {
            out << "shadowed  " << line.text << "  (a later line has the same file id)\n";
            continue;
        }
        FileId const now = file_id_of(line.filepath);
        if (now == FileId{0, 0}) {
            out << "missing   " << line.text << '\n';
        } else if (now != *line.fid) {
            out << "replaced  " << line.text << "  (the file's id is now " << now.first << ';'
                << now.second << ")\n";
        } else {
            out << "ok        " << line.text << '\n';
        }
    }
}
