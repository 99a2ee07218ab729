#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Writing files named by a record below a directory the user chose. A record is untrusted input:
// a name in it must never place a file outside that directory.

// Why `relative` would not stay below `dir`: it is absolute, empty, leaves by "..", or resolves
// through a symlink to a place outside `dir`. Nothing when it stays below.
std::optional<std::string> escape_from(std::filesystem::path const& dir,
                                       std::filesystem::path const& relative);

// A name that stays below any directory, for a file whose own name was refused: "_refused/" and
// the last element of `relative` when that is a plain name, else `fallback`.
std::filesystem::path refused_name(std::filesystem::path const& relative,
                                   std::string_view fallback);

// Writes `content` to dir/relative, creating the directories on the way; a symlink in place of
// the file is not followed. `relative` must have passed escape_from. Throws
// std::filesystem::filesystem_error when the file cannot be written.
void write_below(std::filesystem::path const& dir, std::filesystem::path const& relative,
                 std::string_view content);
