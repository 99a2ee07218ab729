#include "app/file_content.hpp"

#include "app/log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

FileReading read_regular_file(std::filesystem::path const& path) {
    FileReading reading;
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        reading.error = errno;
        return reading;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        reading.error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        reading.kind = kind_of(status.st_mode);
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
            content.append(chunk, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return reading;
}

std::optional<std::string> read_file_content(std::filesystem::path const& path) {
    FileReading reading = read_regular_file(path);
    if (reading.kind) {
        log_line("[Wardlet] {} is a {}, not a regular file: not read", log_safe(path.native()),
                 reading.kind);
    }
    return std::move(reading.content);
}
