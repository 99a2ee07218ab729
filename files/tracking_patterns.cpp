#include "files/tracking_patterns.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <iterator>

namespace {

// A pattern split into its path segments, with what its "!", "/" and final "/" mean.
struct CompiledPattern {
    bool negated = false;
    bool directories_only = false;
    std::vector<std::string> segments;
};

CompiledPattern compile_pattern(std::string_view pattern) {
    CompiledPattern compiled;
    if (!pattern.empty() && pattern.front() == '!') {
        compiled.negated = true;
        pattern.remove_prefix(1);
    }
    if (!pattern.empty() && pattern.back() == '/') {
        compiled.directories_only = true;
        pattern.remove_suffix(1);
    }
    // Only a "/" before the end anchors the pattern at the project directory.
    bool const anchored = pattern.find('/') != std::string_view::npos;
    if (!anchored) {
        compiled.segments.emplace_back("**");
    }
    for (auto const segment : path_segments(pattern)) {
        compiled.segments.emplace_back(segment);
    }
    return compiled;
}

// For every n from 0 to the path's length, whether the pattern's segments match the path's first
// n segments. Built segment by segment over the pattern, so that a pattern of many "**" costs
// its length times the path's, where trying every split of the path would cost exponentially.
std::vector<char> prefixes_matched(std::vector<std::string> const& pattern,
                                   std::vector<std::string_view> const& path) {
    std::vector<char> reach(path.size() + 1, 0);
    std::vector<char> next(path.size() + 1, 0);
    reach[0] = 1;
    std::string name;
    for (std::string const& segment : pattern) {
        if (segment == "**") {
            // Any number of segments, none included.
            char any = 0;
            for (std::size_t n = 0; n <= path.size(); ++n) {
                any = static_cast<char>(any | reach[n]);
                next[n] = any;
            }
        } else {
            next[0] = 0;
            for (std::size_t n = 0; n < path.size(); ++n) {
                // fnmatch needs terminated strings; segments are short.
                name.assign(path[n]);
                next[n + 1] = static_cast<char>(reach[n] != 0 &&
                                                ::fnmatch(segment.c_str(), name.c_str(), 0) == 0);
            }
        }
        reach.swap(next);
    }
    return reach;
}

// Whether the pattern matches the file or one of the directories it lies in.
bool compiled_matches(CompiledPattern const& pattern, std::vector<std::string_view> const& path) {
    std::vector<char> const reach = prefixes_matched(pattern.segments, path);
    for (std::size_t count = 1; count <= path.size(); ++count) {
        bool const is_directory = count < path.size();
        if ((is_directory || !pattern.directories_only) && reach[count] != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string_view> path_segments(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            segments.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return segments;
}

std::string trim_line_end(std::string_view line) {
    auto const end = line.find_last_not_of(" \t\r");
    return std::string(end == std::string_view::npos ? std::string_view()
                                                     : line.substr(0, end + 1));
}

// The lines of a text as they stand, comments included; a final line without a line feed counts.
std::vector<std::string> text_lines(std::string const& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto const end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool is_pattern_line(std::string const& line) {
    std::string const trimmed = trim_line_end(line);
    return !trimmed.empty() && trimmed.front() != '#';
}

std::vector<std::string> pattern_lines(std::string const& text) {
    std::vector<std::string> patterns;
    for (auto const& line : text_lines(text)) {
        if (is_pattern_line(line)) {
            patterns.push_back(trim_line_end(line));
        }
    }
    return patterns;
}

bool patterns_match(std::vector<std::string> const& patterns, std::string_view relative_path) {
    auto const path = path_segments(relative_path);
    bool matched = false;
    for (auto const& text : patterns) {
        CompiledPattern const pattern = compile_pattern(text);
        if (matched != !pattern.negated && compiled_matches(pattern, path)) {
            matched = !pattern.negated;
        }
    }
    return matched;
}

bool skipped_directory(std::string_view name) {
    static constexpr std::string_view kSkipped[] = {
        ".wardlet", ".git", ".hg",    ".svn",        "node_modules",  "__pycache__",
        ".venv",    "venv", ".tox",   ".mypy_cache", ".pytest_cache", ".gradle",
        "build",    "dist", "target", ".cache"};
    return std::find(std::begin(kSkipped), std::end(kSkipped), name) != std::end(kSkipped);
}

std::optional<bool> patterns_decide(std::vector<std::string> const& patterns,
                                    std::string_view relative_path, bool is_directory) {
    auto const path = path_segments(relative_path);
    std::optional<bool> decided;
    for (auto const& text : patterns) {
        CompiledPattern const pattern = compile_pattern(text);
        if ((is_directory || !pattern.directories_only) &&
            prefixes_matched(pattern.segments, path).back() != 0) {
            decided = !pattern.negated;
        }
    }
    return decided;
}

void IgnoreRules::set(std::string const& folder, std::vector<std::string> patterns) {
    if (patterns.empty()) {
        by_folder_.erase(folder);
    } else {
        by_folder_.insert_or_assign(folder, std::move(patterns));
    }
}

bool IgnoreRules::decided_ignored(std::vector<std::string_view> const& segments, std::size_t count,
                                  bool is_directory) const {
    bool ignored = false;
    // The folders above the path, shallowest first, each judging the path relative to itself.
    std::string folder;
    for (std::size_t depth = 0; depth < count; ++depth) {
        if (auto const rules = by_folder_.find(folder); rules != by_folder_.end()) {
            std::string below;
            for (std::size_t index = depth; index < count; ++index) {
                below += segments[index];
                below += '/';
            }
            below.pop_back();
            if (std::optional<bool> const decided =
                    patterns_decide(rules->second, below, is_directory)) {
                ignored = *decided;
            }
        }
        if (!folder.empty()) {
            folder += '/';
        }
        folder += segments[depth];
    }
    return ignored;
}

bool IgnoreRules::ignored(std::string_view relative_path, bool is_directory) const {
    if (by_folder_.empty()) {
        return false;
    }
    auto const segments = path_segments(relative_path);
    for (std::size_t count = 1; count <= segments.size(); ++count) {
        bool const whole = count == segments.size();
        if (decided_ignored(segments, count, whole ? is_directory : true)) {
            return true;
        }
    }
    return false;
}
