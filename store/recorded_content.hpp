#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// Where a snapshot sets a file's mirror in the stream of editor rows: at its place in the
// mirror's order (`mirror_seq`), or, for a snapshot stored before that order was kept, after the
// editor row `after_event_id`.
struct MirrorPlace {
    std::int64_t after_event_id = 0;
    std::optional<std::int64_t> mirror_seq;
};

// One stored editor change that edits a mirror: the deletion first, then the insertion at the
// same offset. `inserted` is valid during the call only.
struct RecordedEdit {
    std::uint64_t offset;
    std::uint32_t deleted;  // the low 32 bits the row keeps, read unsigned
    std::string_view inserted;
};

// Calls `apply` for every editor row of `file` (compared as a path, as the monitor compares the
// editor's paths) that reached the mirror after `start` (by `mirror_seq`; after a snapshot
// stored without one, the rows stored after it, in the order stored), and whose timestamp text is
// at or before `until` when given, in the order they reached the mirror. Saves and changes
// without a position edit nothing and are passed over. With the monitor's index on the rows'
// path, only the file's own rows are read. Returns SQLite's message when the rows cannot be read.
std::optional<std::string> for_each_edit_after(
    sqlite3* conn, std::filesystem::path const& file, MirrorPlace start,
    std::optional<std::string> const& until, std::function<void(RecordedEdit const&)> const& apply);

// The content the record at `database` last gives `file`: its latest snapshot with the editor
// changes that reached the mirror after it, applied by the mirror's rules (index/text_edit.hpp),
// in the mirror's order. No value when the database cannot be read, keeps no change offsets, or
// holds no snapshot of the file. Opens its own read-only connection.
std::optional<std::string> recorded_content(std::filesystem::path const& database,
                                            std::filesystem::path const& file);

// The same for many files, reading the record once (one pass over the snapshots and one over the
// changes that follow the oldest snapshot taken): the answer for each file of `files` that has
// one, keyed by the path as given. A start of the monitor asks for every tracked file at once.
std::map<std::filesystem::path, std::string> recorded_contents(
    std::filesystem::path const& database, std::vector<std::filesystem::path> const& files);
