#include "tools/safe_path.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool is_below(fs::path const& inner, fs::path const& outer) {
    auto const [mismatch, ignored] =
        std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return mismatch == outer.end() || (std::next(mismatch) == outer.end() && mismatch->empty());
}

}  // namespace

std::optional<std::string> escape_from(fs::path const& dir, fs::path const& relative) {
    if (relative.empty()) {
        return "an empty path";
    }
    if (relative.is_absolute() || relative.has_root_name() || relative.has_root_directory()) {
        return "an absolute path";
    }
    fs::path const normal = relative.lexically_normal();
    if (normal.empty() || normal == "." ||
        std::any_of(normal.begin(), normal.end(),
                    [](fs::path const& part) { return part == ".."; })) {
        return "a path leaving the directory by ..";
    }
    // Symlinks already on the way are followed as the system would when writing.
    std::error_code error;
    fs::path const base = fs::weakly_canonical(dir, error);
    fs::path const target = fs::weakly_canonical(dir / normal, error);
    if (error || !is_below(target, base) || target == base) {
        return "a path through a symlink leading outside the directory";
    }
    return std::nullopt;
}

fs::path refused_name(fs::path const& relative, std::string_view fallback) {
    fs::path const name = relative.filename();
    bool const plain = !name.empty() && name != "." && name != "..";
    return fs::path("_refused") / (plain ? name : fs::path(fallback));
}

void write_below(fs::path const& dir, fs::path const& relative, std::string_view content) {
    fs::path const path = dir / relative.lexically_normal();
    fs::create_directories(path.parent_path());
    int const fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    auto const fail = [&](int code) {
        throw fs::filesystem_error("cannot write", path,
                                   std::error_code(code, std::generic_category()));
    };
    if (fd < 0) {
        fail(errno);
    }
    while (!content.empty()) {
        ssize_t const count = ::write(fd, content.data(), content.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            int const code = errno;
            ::close(fd);
            fail(code);
        }
        content.remove_prefix(static_cast<std::size_t>(count));
    }
    if (::close(fd) != 0) {
        fail(errno);
    }
}
