#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The content the record at `database` last gives `file`: its latest snapshot with the editor
// changes that reached the mirror after it, applied by the mirror's rules (index/text_edit.hpp),
// in the mirror's order (`mirror_seq`; the order stored for rows without one). No value when the
// database cannot be read, keeps no change offsets, or holds no snapshot of the file. Opens its
// own read-only connection.
std::optional<std::string> recorded_content(std::filesystem::path const& database,
                                            std::filesystem::path const& file);

// The same for many files, reading the record once (one pass over the snapshots and one over the
// changes that follow the oldest snapshot taken): the answer for each file of `files` that has
// one, keyed by the path as given. A start of the monitor asks for every tracked file at once.
std::map<std::filesystem::path, std::string> recorded_contents(
    std::filesystem::path const& database, std::vector<std::filesystem::path> const& files);
