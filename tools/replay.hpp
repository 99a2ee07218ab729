#pragma once

#include "app/convert.hpp"
#include "tools/record_reader.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A moment on the record's timeline, read from the forms a reviewer has at hand: the texts the
// rows carry, "YYYY-MM-DD HH:MM:SS.fff" (recorded_at) and "YYYY-MM-DD HH:MM:SS.fffffffff"
// (timestamp), and ISO 8601 UTC, "YYYY-MM-DDTHH:MM:SS", each with an optional fraction of the
// second (digits past the ninth are dropped) and an optional "Z". No value for any other text or
// for a date or time of day that does not exist (2023-02-29, 24:00:00, a 60th second).
std::optional<Timestamp> parse_time(std::string_view text);

// A file that cannot be rebuilt from a database; the message says why, for the reviewer.
using ReplayError = RecordError;

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
// every editor row of the file that reached the mirror after that snapshot (by `mirror_seq`; for
// a snapshot stored without one, the rows stored after it) whose timestamp is at or before `at`,
// in the order they reached the mirror. Without `at`, the latest snapshot and every row after it.
// Rows apply as the mirror applies editor changes: saves and changes without a position leave the
// content as it is; otherwise the deletion comes first, then the insertion at the same offset.
// Throws ReplayError when the database cannot be read, does not record offsets and snapshots,
// holds no snapshot of the file, or none at or before `at`.
Replay replay_file(std::filesystem::path const& database, std::filesystem::path const& file,
                   std::optional<Timestamp> at = std::nullopt);

// How the bytes of a replayed file arrived.
enum class Origin : std::uint8_t {
    initial,         // in the file when the monitor first loaded it
    typed,           // an editor change of none of the kinds below
    pasted,          // a paste of text found in no tracked file
    internal_copy,   // text that the monitor found in a tracked file already
    undo_redo,       // restored by the editor's undo or redo
    fast_insertion,  // on disk without having come through the editor
    bulk,            // a large insertion in one change that is no paste: a completion, a snippet
};
inline constexpr std::size_t ORIGIN_COUNT = 7;
// "initial", "typed", "pasted", "internal_copy", "undo_redo", "fast_insertion", "bulk".
char const* origin_name(Origin origin);
using OriginCounts = std::array<std::size_t, ORIGIN_COUNT>;

// A file's content with the origin of every byte, edited by the rules of replay_file. Edits
// near one another cost what they change, not the size of the content: the content is kept
// around a gap at the latest edit.
class LabelledText {
public:
    LabelledText() = default;
    LabelledText(std::string content, Origin origin);

    // Applies one stored edit: the deletion, then the insertion at the same offset, each ignored
    // when the offset lies beyond the end (the result is false then). The bytes removed are
    // appended to `removed` when given.
    bool apply(std::uint64_t offset, std::uint64_t deleted, std::string_view inserted,
               Origin origin, std::string* removed = nullptr);
    // Replaces `deleted` bytes at `offset` by `inserted` when `inserted` is the same text with
    // other line ends ("\n", "\r\n", "\r"): every byte keeps its origin, a new line end that of
    // the one it replaces. Returns false, changing nothing, for any other edit.
    bool switch_line_ends(std::uint64_t offset, std::uint64_t deleted, std::string_view inserted);
    // Replaces the whole content, as a snapshot resets the mirror: lines that the old and the new
    // content share keep their origins, every other byte of the new content gets `changed`.
    // Returns how many bytes got `changed`.
    std::size_t reset(std::string content, Origin changed);

    std::size_t size() const { return buffer_.size() - (gap_end_ - gap_start_); }
    // Up to `count` bytes from `offset` (none when it lies beyond the end).
    std::string text_at(std::uint64_t offset, std::uint64_t count) const;
    // The whole content and its origins; each call after an edit copies them once.
    std::string const& content() const;
    std::vector<Origin> const& origins() const;
    // Bytes per origin, indexed by the Origin's value; they add up to the content's size.
    OriginCounts counts() const;

private:
    void move_gap(std::size_t to);
    void make_room(std::size_t count);
    void refresh() const;

    // The content is buffer_ without [gap_start_, gap_end_); labels_ holds an origin per byte of
    // buffer_ alike.
    std::string buffer_;
    std::vector<Origin> labels_;
    std::size_t gap_start_ = 0;
    std::size_t gap_end_ = 0;
    mutable std::string content_;
    mutable std::vector<Origin> origins_;
    mutable bool fresh_ = true;
};
