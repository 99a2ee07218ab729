#include "app/file_content.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::optional<std::string> read_file_content(std::filesystem::path const& path) {
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat status {};
    std::optional<std::string> content;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        content.emplace();
        content->reserve(static_cast<std::size_t>(status.st_size));
        char chunk[65536];
        while (true) {
            ssize_t const count = ::read(fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                content.reset();
                break;
            }
            if (count == 0) {
                break;
            }
            content->append(chunk, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return content;
}
