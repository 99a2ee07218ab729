#include "editor/filemap.hpp"

#include "files/atomic_write.hpp"

#include "app/file_content.hpp"
#include "app/log.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
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

// One line's file id and path text, or the reason it names no usable file.
struct LineFields {
    std::optional<FileId> fid;
    std::string_view path;
    char const* problem = "";
};

LineFields read_line(std::string_view line) {
    LineFields read;
    SplitLine const fields = split_fields(line);
    auto const inode = lenient_number(fields.inode);
    auto const device = lenient_number(fields.device);
    if (!inode || !device) {
        read.problem = "no file id";
    } else if (fields.path.empty()) {
        read.problem = "no path";
    } else {
        read.fid = FileId{*inode, *device};
        read.path = fields.path;
    }
    return read;
}

// Calls `each(number, line)` for the lines of `content` as std::getline gives them: cut at each
// line feed, a final line without one included, numbered from 1.
template <typename Each>
void for_each_line(std::string_view content, Each&& each) {
    for (std::size_t number = 1; !content.empty(); ++number) {
        auto const end = content.find('\n');
        each(number, content.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        content.remove_prefix(end + 1);
    }
}

// Whether two path texts still agree once every run of separators counts as one: paths that are
// equal element by element always do, so texts that do not can be told apart without building
// paths.
bool same_up_to_separator_runs(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] != b[j]) {
            return false;
        }
        bool const separator = a[i] == '/';
        ++i;
        ++j;
        if (separator) {
            while (i < a.size() && a[i] == '/') {
                ++i;
            }
            while (j < b.size() && b[j] == '/') {
                ++j;
            }
        }
    }
    return i == a.size() && j == b.size();
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

// The file map's text as read now. A map that cannot be read (descriptors exhausted, a read error,
// not a regular file) is not an empty map: it answers with its last reading, with one line when
// the failure begins and one when it ends, so that a passing failure never turns tracked files
// into untracked ones. A missing map is an empty one. Throws FileMapError when the map has never
// been read.
std::string filemap_text(std::filesystem::path const& path) {
    struct Last {
        std::optional<std::string> text;
        bool failing = false;
    };
    static std::mutex mutex;
    static std::unordered_map<std::string, Last> last_readings;
    FileReading reading = read_regular_file(path);
    if (!reading.content && !reading.kind && reading.error == ENOENT) {
        reading.content.emplace();
    }
    std::lock_guard lock(mutex);
    Last& last = last_readings[path.native()];
    if (reading.content) {
        if (last.failing) {
            log_line("[VSCodeListener] file map {} can be read again", path.native());
        }
        last.failing = false;
        last.text = *reading.content;
        return std::move(*reading.content);
    }
    std::string why = std::strerror(reading.error);
    if (reading.kind) {
        why = std::string("it is a ") + reading.kind;
    } else if (reading.too_large) {
        why = fmt::format("it holds more than {} bytes", MAX_FILE_BYTES);
    }
    if (!last.text) {
        throw FileMapError(fmt::format("file map {} cannot be read: {}", path.native(), why));
    }
    if (!last.failing) {
        last.failing = true;
        log_line(
            "[VSCodeListener] error: file map {} cannot be read ({}): its last reading is used",
            path.native(), why);
    }
    return *last.text;
}

}  // namespace

FileMapLine parse_filemap_line(std::string_view line) {
    FileMapLine parsed;
    LineFields const read = read_line(line);
    parsed.fid = read.fid;
    parsed.problem = read.problem;
    if (read.fid) {
        parsed.filepath = std::filesystem::path(read.path);
    }
    return parsed;
}

bool filemap_can_hold(std::string_view path) {
    return path.find_first_of(";\n") == std::string_view::npos;
}

FileMapReading read_filemap(std::filesystem::path const& path,
                            std::filesystem::path const& project) {
    FileMapReading reading;
    std::string const content = filemap_text(path);
    std::optional<ProjectFolder> const folder =
        project.empty() ? std::nullopt : std::optional<ProjectFolder>(project);
    for_each_line(content, [&](std::size_t number, std::string_view line) {
        if (line.empty()) {
            return;
        }
        FileMapLine parsed = parse_filemap_line(line);
        if (parsed.fid && folder && !folder->holds(parsed.filepath)) {
            parsed.fid.reset();
            parsed.problem = "outside the project";
        }
        if (!parsed.fid) {
            reading.problems.push_back({number, std::string(line), std::move(parsed.problem)});
            return;
        }
        reading.map.insert_or_assign(*parsed.fid, filemap_data{std::move(parsed.filepath)});
    });
    return reading;
}

FileMap parse_filemap(std::filesystem::path const& path, std::filesystem::path const& project) {
    FileMapReading reading = read_filemap(path, project);
    report_once(path, reading.problems);
    return std::move(reading.map);
}

bool filemap_names(std::filesystem::path const& path, std::string_view file) {
    std::string const content = filemap_text(path);
    std::unordered_map<FileId, std::string_view, FastFIDHash> entries;
    std::vector<FileMapProblem> problems;
    for_each_line(content, [&](std::size_t number, std::string_view line) {
        if (line.empty()) {
            return;
        }
        LineFields const read = read_line(line);
        if (!read.fid) {
            problems.push_back({number, std::string(line), read.problem});
            return;
        }
        entries.insert_or_assign(*read.fid, read.path);
    });
    report_once(path, problems);
    return std::any_of(entries.begin(), entries.end(), [&](auto const& entry) {
        std::string_view const text = entry.second;
        return text == file || (same_up_to_separator_runs(text, file) &&
                                std::filesystem::path(text) == std::filesystem::path(file));
    });
}

namespace {

std::string system_error(std::string const& what, std::filesystem::path const& path) {
    return what + " '" + path.native() + "': " + std::strerror(errno);
}

}  // namespace

FileMapLock::FileMapLock(std::filesystem::path const& data_dir) {
    fd_ = ::open(data_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        throw FileMapWriteError(system_error("cannot open", data_dir));
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            std::string const message = system_error("cannot lock", data_dir);
            ::close(fd_);
            throw FileMapWriteError(message);
        }
    }
}

FileMapLock::~FileMapLock() {
    ::close(fd_);
}

void write_filemap_atomically(std::filesystem::path const& target, std::string const& content) {
    try {
        write_file_atomically(target, content);
    } catch (AtomicWriteError const& error) {
        throw FileMapWriteError(error.what());
    }
}
