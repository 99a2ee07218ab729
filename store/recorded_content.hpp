#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The content the record at `database` last gives `file`: its latest snapshot with the editor
// changes that reached the mirror after it, applied by the mirror's rules (index/text_edit.hpp),
// in the mirror's order (`mirror_seq`; the order stored for rows without one). No value when the
// database cannot be read, keeps no change offsets, or holds no snapshot of the file. Opens its
// own read-only connection.
std::optional<std::string> recorded_content(std::filesystem::path const& database,
                                            std::filesystem::path const& file);
