#include "editor/filemap.hpp"

#include "app/log.hpp"

#include <cctype>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>

namespace {

// Decimal number after optional leading blanks; reading stops at the first non-digit. No value
// when there is no digit or the number does not fit in 64 bits.
std::optional<std::uint64_t> lenient_number(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        auto const digit = static_cast<std::uint64_t>(text[at] - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return value;
}

struct SplitLine {
    std::string_view inode;
    std::string_view device;
    std::string_view path;
};

SplitLine split_fields(std::string_view line) {
    SplitLine fields;
    auto const first = line.find(';');
    fields.inode = line.substr(0, first);
    if (first == std::string_view::npos) {
        return fields;
    }
    auto const second = line.find(';', first + 1);
    fields.device = line.substr(first + 1, second - first - 1);
    if (second == std::string_view::npos) {
        return fields;
    }
    auto const rest = line.substr(second + 1);
    fields.path = rest.substr(0, rest.find(';'));
    return fields;
}

// The text of the problems last logged, per file map, so that a map read for every change
// message reports a bad line once instead of at every message.
void report_once(std::filesystem::path const& path, std::vector<FileMapProblem> const& problems) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::string> last_reported;
    std::string summary;
    for (auto const& problem : problems) {
        summary += std::to_string(problem.line_number) + problem.text + '\n';
    }
    std::lock_guard lock(mutex);
    auto& last = last_reported[path.native()];
    if (last == summary) {
        return;
    }
    last = summary;
    for (auto const& problem : problems) {
        log_line("[VSCodeListener] file map {} line {} skipped ({}): {}", path.native(),
                 problem.line_number, problem.reason, problem.text);
    }
}

}  // namespace

FileMapLine parse_filemap_line(std::string_view line) {
    FileMapLine parsed;
    SplitLine const fields = split_fields(line);
    auto const inode = lenient_number(fields.inode);
    auto const device = lenient_number(fields.device);
    if (!inode || !device) {
        parsed.problem = "no file id";
    } else if (fields.path.empty()) {
        parsed.problem = "no path";
    } else {
        parsed.fid = FileId{*inode, *device};
        parsed.filepath = std::filesystem::path(fields.path);
    }
    return parsed;
}

FileMapReading read_filemap(std::filesystem::path const& path) {
    FileMapReading reading;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty()) {
            continue;
        }
        FileMapLine parsed = parse_filemap_line(line);
        if (!parsed.fid) {
            reading.problems.push_back({number, line, std::move(parsed.problem)});
            continue;
        }
        reading.map.insert_or_assign(*parsed.fid, filemap_data{std::move(parsed.filepath)});
    }
    return reading;
}

FileMap parse_filemap(std::filesystem::path const& path) {
    FileMapReading reading = read_filemap(path);
    report_once(path, reading.problems);
    return std::move(reading.map);
}
