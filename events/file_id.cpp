#include "events/file_id.hpp"

#include <sys/stat.h>

FileId file_id_of(std::filesystem::path const& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {0, 0};
    }
    // The device number is widened as a signed value, as the monitor has always stored it.
    return {static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(static_cast<std::int64_t>(status.st_dev))};
}
