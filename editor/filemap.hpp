#pragma once

#include "events/file_id.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One tracked file of the project's file map.
struct filemap_data {
    std::filesystem::path filepath;
};

// Only the low 32 bits of each number enter the hash; equal hashes still stay separate entries.
struct FastFIDHash {
    std::size_t operator()(FileId const& fid) const noexcept {
        return static_cast<std::size_t>((fid.first << 32) | (fid.second & 0xFFFFFFFFull));
    }
};

using FileMap = std::unordered_map<FileId, filemap_data, FastFIDHash>;

// A file map line that names no usable file: its 1-based number, its text and why.
struct FileMapProblem {
    std::size_t line_number;
    std::string text;
    std::string reason;
};

// One line of a file map: its file id and path, or the reason it names no usable file.
struct FileMapLine {
    std::optional<FileId> fid;
    std::filesystem::path filepath;
    std::string problem;
};
FileMapLine parse_filemap_line(std::string_view line);

// Whether a map line can name `path`: a line ends at a line feed and its path at a ";", so a path
// holding either would be read back as another file's.
bool filemap_can_hold(std::string_view path);

struct FileMapReading {
    FileMap map;
    std::vector<FileMapProblem> problems;
};

// A file map that exists but cannot be read, and has never been read before.
class FileMapError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads "inode;device;path" lines. Unusable lines are skipped and listed; a missing file gives an
// empty map. A later line with the same file id replaces an earlier one. A map that cannot be read
// now answers with its last reading (logged once per failure) and throws FileMapError when there
// is none. Given the `project` folder, a line naming a file outside it is unusable too: the map
// comes with the project, and a line planted there must not make the monitor follow, read or
// create a file elsewhere (lies_within).
FileMapReading read_filemap(std::filesystem::path const& path,
                            std::filesystem::path const& project = {});

// The file map at `path`. Skipped lines are logged once for each change of the file's problems,
// not at every reading: the editor channel reads the map for every change message.
FileMap parse_filemap(std::filesystem::path const& path, std::filesystem::path const& project = {});

// Whether the file map at `path`, read now, has an entry whose path equals `file` element by
// element: the same answer as a search of parse_filemap(path), and the same lines logged, without
// building the map's paths. The editor channel asks this for every change message.
bool filemap_names(std::filesystem::path const& path, std::string_view file);

// A file map that could not be locked or written; the message names the path and the reason.
class FileMapWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An exclusive lock on a data directory for one read-modify-write of its file map, so that
// writers at once (the tracking tool, the monitor following a rename) do not lose each other's
// lines. Throws FileMapWriteError when the directory cannot be opened or locked.
class FileMapLock {
public:
    explicit FileMapLock(std::filesystem::path const& data_dir);
    FileMapLock(FileMapLock const&) = delete;
    FileMapLock& operator=(FileMapLock const&) = delete;
    ~FileMapLock();

private:
    int fd_ = -1;
};

// Replaces the file at `target` with `content` at once: written and synced to a temporary file
// beside it, with the permissions of the file it replaces, then renamed over it. Readers see the
// old map or the new one, never a part. Throws FileMapWriteError.
void write_filemap_atomically(std::filesystem::path const& target, std::string const& content);
