#include "files/atomic_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace {

std::string system_error(std::string const& what, fs::path const& path) {
    return what + " '" + path.native() + "': " + std::strerror(errno);
}

void write_all(int fd, std::string const& content, fs::path const& path) {
    std::size_t written = 0;
    while (written < content.size()) {
        ssize_t const count = ::write(fd, content.data() + written, content.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw AtomicWriteError(system_error("cannot write", path));
        }
        written += static_cast<std::size_t>(count);
    }
}

}  // namespace

void write_file_atomically(fs::path const& target, std::string const& content) {
    fs::path const dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temp = (dir / ("." + target.filename().native() + ".XXXXXX")).native();
    int const fd = ::mkstemp(temp.data());
    if (fd < 0) {
        throw AtomicWriteError(system_error("cannot create a temporary file in", dir));
    }
    try {
        // Keep the permissions of the file being replaced; a new one is its owner's alone.
        struct stat existing {};
        mode_t const mode =
            ::stat(target.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0600;
        if (::fchmod(fd, mode) != 0) {
            throw AtomicWriteError(system_error("cannot set the permissions of", temp));
        }
        write_all(fd, content, temp);
        if (::fsync(fd) != 0) {
            throw AtomicWriteError(system_error("cannot sync", temp));
        }
        if (::close(fd) != 0) {
            throw AtomicWriteError(system_error("cannot close", temp));
        }
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        std::string const message = system_error("cannot replace", target);
        ::unlink(temp.c_str());
        throw AtomicWriteError(message);
    }
    // The rename itself reaches the disk with the directory.
    int const dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
}
