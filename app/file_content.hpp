#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The whole content of a regular file, byte for byte; no value when it cannot be opened or read
// (missing, unreadable, a directory).
std::optional<std::string> read_file_content(std::filesystem::path const& path);
