#pragma once

#include <filesystem>

// Files and directories that hold the programmer's text are made for their owner alone, whatever
// the umask: directories rwx------, files rw-------. What exists already keeps its mode.

// Creates the directory with mode 0700 unless something exists at `path`. True when it now exists
// as a directory.
bool ensure_private_directory(std::filesystem::path const& path);

// Creates an empty file with mode 0600 unless something exists at `path`. True when it created
// one. SQLite gives a database's journal files the mode of the database file.
bool create_private_file(std::filesystem::path const& path);
