#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

// The most bytes of one file the monitor reads, as many as one editor message may carry: a larger
// file (a sparse file of a hundred gigabytes is made in an instant) would exhaust memory.
inline constexpr std::size_t MAX_FILE_BYTES = std::size_t{64} << 20;

// One reading of a file: its whole content, or why there is none.
struct FileReading {
    std::optional<std::string> content;
    int error = 0;               // the system's error of the failed step, 0 when none
    char const* kind = nullptr;  // what the file is when it is not a regular file
    bool too_large = false;      // a regular file of more than MAX_FILE_BYTES
};

// Reads a file only when it is a regular file. It is opened without blocking and checked on the
// descriptor, so that nothing placed at the path (a FIFO, a device, a socket) can hold up the
// reader, nor be swapped in between a check and the open.
// With `follow_final_link` false, a symbolic link at the path is not followed (it reads as
// unreadable, error ELOOP).
FileReading read_regular_file(std::filesystem::path const& path, bool follow_final_link = true);

// The whole content of a regular file, byte for byte; no value when it cannot be opened or read
// (missing, unreadable). Anything but a regular file, and a file of more than MAX_FILE_BYTES, is
// not read, with one log line saying so.
std::optional<std::string> read_file_content(std::filesystem::path const& path);

// A project's folder, asked whether paths name places inside it: by their texts made absolute and
// normal, or, where those differ (a project reached through a link under another name), once
// resolved. The folder's own forms are made once, for the many paths of a file map.
class ProjectFolder {
public:
    explicit ProjectFolder(std::filesystem::path const& root);
    bool holds(std::filesystem::path const& path) const;

private:
    std::filesystem::path root_;    // as given
    std::filesystem::path folder_;  // absolute and normal
    std::string prefix_;            // folder_'s text with a separator after it
};

// Whether `path` names a place inside the folder `root` (see ProjectFolder).
bool lies_within(std::filesystem::path const& path, std::filesystem::path const& root);

// Whether `path` leads, through a symbolic link (itself or a folder on the way), to a place
// outside the directory `root`, or is a link to nothing.
bool links_outside(std::filesystem::path const& path, std::filesystem::path const& root);

// The content of a file of the project at `root`, as `read_file_content` reads it, except that a
// file outside the project, and a symbolic link that leads outside it, are not read, with one log
// line: a line planted in the file map, or a link planted in the project, towards a private file
// elsewhere (a key, another user's work) must not copy that file into the record.
std::optional<std::string> read_project_file(std::filesystem::path const& path,
                                             std::filesystem::path const& root);
