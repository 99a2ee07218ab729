#pragma once

#include <filesystem>
#include <optional>
#include <string>

// One reading of a file: its whole content, or why there is none.
struct FileReading {
    std::optional<std::string> content;
    int error = 0;               // the system's error of the failed step, 0 when none
    char const* kind = nullptr;  // what the file is when it is not a regular file
};

// Reads a file only when it is a regular file. It is opened without blocking and checked on the
// descriptor, so that nothing placed at the path (a FIFO, a device, a socket) can hold up the
// reader, nor be swapped in between a check and the open.
FileReading read_regular_file(std::filesystem::path const& path);

// The whole content of a regular file, byte for byte; no value when it cannot be opened or read
// (missing, unreadable). Anything but a regular file is not read, with one log line saying so.
std::optional<std::string> read_file_content(std::filesystem::path const& path);
