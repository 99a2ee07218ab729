#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

// A file that could not be replaced; the old one is left as it was.
class AtomicWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Replaces `target` with `content` in one step: a reader sees either the old file or the new
// one. The content is written to a temporary file in the same directory, synced and renamed; the
// replaced file's permissions are kept. Throws AtomicWriteError, naming the step and the path.
void write_file_atomically(std::filesystem::path const& target, std::string const& content);
