#include "app/file_content.hpp"

#include "app/log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {

char const* kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "socket";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "device";
    }
    if (S_ISDIR(mode)) {
        return "directory";
    }
    return "special file";
}

}  // namespace

FileReading read_regular_file(std::filesystem::path const& path, bool follow_final_link) {
    FileReading reading;
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                                            (follow_final_link ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        reading.error = errno;
        return reading;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        reading.error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        reading.kind = kind_of(status.st_mode);
    } else if (static_cast<std::uintmax_t>(status.st_size) > MAX_FILE_BYTES) {
        reading.too_large = true;
    } else {
        std::string content;
        content.reserve(static_cast<std::size_t>(status.st_size));
        char chunk[65536];
        while (true) {
            ssize_t const count = ::read(fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                reading.error = errno;
                break;
            }
            if (count == 0) {
                reading.content = std::move(content);
                break;
            }
            // The file may grow while it is read.
            if (content.size() + static_cast<std::size_t>(count) > MAX_FILE_BYTES) {
                reading.too_large = true;
                break;
            }
            content.append(chunk, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return reading;
}

namespace {

// The content read, after the line that says why a file was not read, when one does.
std::optional<std::string> logged_content(std::filesystem::path const& path, FileReading reading) {
    if (reading.kind) {
        log_line("[Wardlet] {} is a {}, not a regular file: not read", path.native(), reading.kind);
    }
    if (reading.too_large) {
        log_line("[Wardlet] {} holds more than {} bytes: not read", path.native(), MAX_FILE_BYTES);
    }
    return std::move(reading.content);
}

}  // namespace

std::optional<std::string> read_file_content(std::filesystem::path const& path) {
    return logged_content(path, read_regular_file(path));
}

namespace {

bool is_below(std::filesystem::path const& path, std::filesystem::path const& dir) {
    auto const [dir_end, path_at] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
    return dir_end == dir.end() && path_at != path.end();
}

}  // namespace

ProjectFolder::ProjectFolder(std::filesystem::path const& root) : root_(root) {
    std::error_code error;
    folder_ = std::filesystem::absolute(root, error).lexically_normal();
    if (!folder_.has_filename() && folder_.has_relative_path()) {
        folder_ = folder_.parent_path();  // named with a trailing separator
    }
    prefix_ = folder_.native() + (folder_.native().ends_with('/') ? "" : "/");
}

bool ProjectFolder::holds(std::filesystem::path const& path) const {
    namespace fs = std::filesystem;
    std::string_view const text = path.native();
    // The common case, a plain path below the folder's text, is answered without a path built.
    if (text.starts_with(prefix_) && text.size() > prefix_.size() &&
        text.find("//") == std::string_view::npos && text.find("/.") == std::string_view::npos) {
        return true;
    }
    std::error_code error;
    if (is_below(fs::absolute(path, error).lexically_normal(), folder_) && !error) {
        return true;
    }
    std::error_code path_error;
    std::error_code root_error;
    fs::path const resolved = fs::weakly_canonical(path, path_error);
    fs::path const project = fs::canonical(root_, root_error);
    return !path_error && !root_error && is_below(resolved, project);
}

bool lies_within(std::filesystem::path const& path, std::filesystem::path const& root) {
    return ProjectFolder(root).holds(path);
}

namespace {

// A path of the project, resolved once for the check of its links and for its reading.
struct ResolvedPath {
    std::filesystem::path target;  // the file it leads to; empty when nothing is there
    bool is_link = false;          // the path itself is a symbolic link
    bool leads_outside = false;    // a link on the way leads outside the project, or to nothing
};

ResolvedPath resolve(std::filesystem::path const& path, std::filesystem::path const& root) {
    namespace fs = std::filesystem;
    ResolvedPath resolved;
    std::error_code error;
    resolved.is_link = fs::is_symlink(fs::symlink_status(path, error));
    resolved.target = fs::canonical(path, error);
    if (resolved.target.empty()) {
        // A link to nothing; a missing file is not a matter of links.
        resolved.leads_outside = resolved.is_link;
    } else if (resolved.is_link ||
               resolved.target != fs::absolute(path, error).lexically_normal()) {
        std::error_code root_error;
        fs::path const project = fs::canonical(root, root_error);
        resolved.leads_outside = root_error || !is_below(resolved.target, project);
    }
    return resolved;
}

}  // namespace

bool links_outside(std::filesystem::path const& path, std::filesystem::path const& root) {
    return resolve(path, root).leads_outside;
}

std::optional<std::string> read_project_file(std::filesystem::path const& path,
                                             std::filesystem::path const& root) {
    if (!lies_within(path, root)) {
        log_line("[Wardlet] {} lies outside the project: not read", path.native());
        return std::nullopt;
    }
    // Resolved once: every tracked file is read at the start.
    ResolvedPath const resolved = resolve(path, root);
    if (resolved.leads_outside) {
        if (resolved.is_link) {
            log_line("[Wardlet] {} is a symbolic link leading outside the project: not read",
                     path.native());
        } else {
            log_line("[Wardlet] {} leads outside the project through a linked folder: not read",
                     path.native());
        }
        return std::nullopt;
    }
    if (resolved.target.empty()) {
        return read_file_content(path);  // missing: told as any reading that fails
    }
    // The resolved file itself, never a link swapped in after the check.
    return logged_content(path, read_regular_file(resolved.target, false));
}
