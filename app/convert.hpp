#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// System-clock time point with nanosecond resolution, the time of every event record.
using Timestamp = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// File-watcher action codes; any other value is possible and renders as unknown.
using FileAction = std::int32_t;
namespace FileActions {
inline constexpr FileAction Add = 1;
inline constexpr FileAction Delete = 2;
inline constexpr FileAction Modified = 3;
inline constexpr FileAction Moved = 4;
}  // namespace FileActions

Timestamp now_timestamp();

std::string keycode2char(std::uint16_t code);
std::uint16_t keychar2code(std::string const& text);

// "YYYY-MM-DD HH:MM:SS.fffffffff" in UTC, always nine fraction digits.
std::string timestamp2str(Timestamp tp);
// Inverse of timestamp2str for its own output; the fraction counts nanoseconds.
Timestamp str2timestamp(std::string const& text);

std::string action2str(FileAction action);
FileAction str2action(std::string const& text);

// Lines cut at each line feed; a final line without a line feed counts, an empty one does not.
std::vector<std::string> split_lines(std::string const& text);
