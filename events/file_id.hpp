#pragma once

#include <cstdint>
#include <filesystem>
#include <utility>

// A file's identity: inode number first, device number second.
using FileId = std::pair<std::uint64_t, std::uint64_t>;

// The identity of the file at `path` (links followed); (0, 0) when its status cannot be read.
FileId file_id_of(std::filesystem::path const& path);
