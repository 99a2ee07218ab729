#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Tracking patterns: gitignore-style globs relative to the project directory, one per line of
// the project's patterns file. Blank lines and lines beginning with "#" are ignored, as are
// spaces at the end of a line. In a pattern, "*" matches any text within one path segment, "?"
// one character but "/", "[...]" one character of a set, and a backslash takes the next
// character literally; a "**" segment matches any number of segments. A pattern without a "/"
// (other than a final one) matches a name at any depth ("*.c"); one with a leading or inner "/"
// is anchored at the project directory ("src/**/*.py", "/main.c"). A pattern that matches a
// directory matches every file in it; a final "/" matches directories only. A pattern beginning
// with "!" excludes what it matches; the last pattern that matches a file decides.

// The non-empty segments of a "/"-separated path.
std::vector<std::string_view> path_segments(std::string_view path);

// A line without its trailing blanks (spaces, tabs, carriage returns).
std::string trim_line_end(std::string_view line);

// The lines of a text as they stand, comments included; a final line without a line feed counts.
std::vector<std::string> text_lines(std::string const& text);

// Whether a line of a patterns file holds a pattern (not blank, not a comment).
bool is_pattern_line(std::string const& line);

// The patterns of a patterns file's text, in order (comments and blank lines left out).
std::vector<std::string> pattern_lines(std::string const& text);

// Whether the file at `relative_path` (segments separated by "/") is matched by the patterns,
// the last matching one deciding.
bool patterns_match(std::vector<std::string> const& patterns, std::string_view relative_path);

// Folders that hold version control data, dependencies or build output: never searched for
// tracked files.
bool skipped_directory(std::string_view name);

// Whether the patterns decide about exactly `relative_path` (not the folders it lies in; a
// directory when `is_directory`): whether the last pattern that matches it excludes it (false for
// a "!" pattern), or no value when none matches.
std::optional<bool> patterns_decide(std::vector<std::string> const& patterns,
                                    std::string_view relative_path, bool is_directory);

// The ignore files of a tree, as git reads them: each folder's patterns apply to the paths below
// that folder, relative to it; for one path the rules of a deeper folder decide over those of a
// shallower one; and what lies in an ignored folder is ignored, whatever a deeper rule says.
class IgnoreRules {
public:
    // The patterns of `folder`'s ignore file ("" for the root; "/"-separated and relative), or
    // none when it has no patterns any more.
    void set(std::string const& folder, std::vector<std::string> patterns);
    // Whether `relative_path`, a file or (when `is_directory`) a directory, is ignored.
    bool ignored(std::string_view relative_path, bool is_directory) const;

private:
    bool decided_ignored(std::vector<std::string_view> const& segments, std::size_t count,
                         bool is_directory) const;

    std::map<std::string, std::vector<std::string>, std::less<>> by_folder_;
};
