#include "app/private_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool ensure_private_directory(std::filesystem::path const& path) {
    if (::mkdir(path.c_str(), S_IRWXU) == 0) {
        // mkdir applies the umask, which can only take bits away; set them exactly.
        ::chmod(path.c_str(), S_IRWXU);
        return true;
    }
    std::error_code error;
    return errno == EEXIST && std::filesystem::is_directory(path, error);
}

bool create_private_file(std::filesystem::path const& path) {
    int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}
