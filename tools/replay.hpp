#pragma once

#include "app/convert.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A moment on the record's timeline, read from the forms a reviewer has at hand: the texts the
// rows carry, "YYYY-MM-DD HH:MM:SS.fff" (recorded_at) and "YYYY-MM-DD HH:MM:SS.fffffffff"
// (timestamp), and ISO 8601 UTC, "YYYY-MM-DDTHH:MM:SS", each with an optional fraction of the
// second (digits past the ninth are dropped) and an optional "Z". No value for any other text or
// for a date or time of day that does not exist (2023-02-29, 24:00:00, a 60th second).
std::optional<Timestamp> parse_time(std::string_view text);

// A file that cannot be rebuilt from a database; the message says why, for the reviewer.
class ReplayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Replay {
    std::string content;           // the file as the monitor's mirror held it
    std::int64_t snapshot_id = 0;  // the snapshot it started from
    std::string snapshot_reason;
    std::string snapshot_recorded_at;
    std::size_t applied = 0;  // editor rows that edited the content
    std::size_t ignored = 0;  // positioned edits beyond the end, ignored as the mirror ignores them
};

// Rebuilds `file` (compared as a path, as the monitor compares the editor's paths) from the
// database at `database`, opened read-only: its latest snapshot recorded at or before `at`, then
// every editor row of the file stored after that snapshot whose timestamp is at or before `at`,
// in the order stored. Without `at`, the latest snapshot and every row after it. Rows apply as
// the mirror applies editor changes: saves and changes without a position leave the content as
// it is; otherwise the deletion comes first, then the insertion at the same offset.
// Throws ReplayError when the database cannot be read, does not record offsets and snapshots,
// holds no snapshot of the file, or none at or before `at`.
Replay replay_file(std::filesystem::path const& database, std::filesystem::path const& file,
                   std::optional<Timestamp> at = std::nullopt);
