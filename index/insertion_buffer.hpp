#pragma once

#include "index/content_census.hpp"
#include "index/content_history.hpp"
#include "index/text_edit.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Where a text was found: the tracked file, and the byte offset in its current content when the
// text is there now (none when it was found only in what the file held before).
struct CopySource {
    std::filesystem::path path;
    std::optional<std::size_t> offset;
};

// In-memory mirror of every tracked file, edited as the editor reports changes, with an index that
// tells whether a text already occurs in some tracked file. One mutex guards everything and is
// held for the whole of each operation; sequences of operations are not atomic.
//
// Threads: the editor's connection readers edit, search and update; the bus's deliveries compare,
// diff and set whole contents (the analysis of disk changes); the project follower's thread
// sets, renames and updates. Any of them may call any member. The mutex is the innermost lock of
// the monitor: no operation calls out while holding it, except to queue a log line, which never
// waits (app/log.hpp).
//
// The index of a file is its content as of the last update, searched directly, plus the history
// of its earlier contents (index/content_history.hpp): every substring of at least
// ContentHistory::LONG_TEXT bytes of every content the file had at an update is found, and every
// shorter one of every content it had when an editing run started. Given up: a text shorter than
// that which existed only between two changes of one typing run and is gone from the content.
//
// A census of the bytes and byte pairs of every file (index/content_census.hpp) lets a search for
// a short text, a keystroke's, skip the files: it answers at once when no file can hold the text,
// and otherwise looks first in a file that brought the text's rarest pair. Only when that file
// does not hold the text are the files searched one by one, so the verdict is the same as a
// search through every file.
class InsertionBuffer {
public:
    struct sambuf_pair {
        std::string buf;  // the mirrored content
        // `buf` as of the last update, kept apart only while `buf` has changes the index has not
        // taken yet; otherwise `buf` is the indexed content itself (`index_is_buf`), so a mirror
        // costs one copy of its file and an editor change edits one string.
        std::string indexed;
        bool index_is_buf = true;
        ContentHistory history;  // every content the indexed content held before
        bool set_whole = false;  // `buf` was set whole since the last update
        // How many leading and trailing bytes of `buf` are known to equal those of `indexed`:
        // the edits since the last update lie between, so an update compares only that part.
        std::size_t same_prefix = 0;
        std::size_t same_suffix = 0;
        ContentCensus::Entry number = 0;  // its place in `by_number_`
    };

    // Each change of a mirror returns its place in the order in which changes reached the
    // mirrors, taken under the lock: stored with the change (and with a snapshot of a content set
    // whole), it lets a replay apply them in that order. An edit ignored as out of range takes a
    // place too; the replay ignores it the same way.
    std::uint64_t insert_filecontent(std::filesystem::path const& path, unsigned long offset,
                                     std::string const& text);
    std::uint64_t delete_filecontent(std::filesystem::path const& path, unsigned long offset,
                                     unsigned long count);
    std::uint64_t set_filecontent(std::filesystem::path const& path, std::string text);
    // One editor change as one step of that order: removes up to `count` bytes at `offset`
    // (when `count` is not 0), then inserts `text` there (when not empty), by the rules of
    // delete_filecontent and insert_filecontent.
    std::uint64_t edit_filecontent(std::filesystem::path const& path, unsigned long offset,
                                   unsigned long count, std::string const& text);
    // Places are taken after `last` from now on (the last one stored by an earlier run).
    void continue_sequence(std::uint64_t last);
    std::optional<std::string> get_filecontent(std::filesystem::path const& path) const;
    // The entry of `from`, content and index, is the entry of `to` from now on, replacing any
    // entry `to` had. The move takes a place in the mirrors' order; returned with the content
    // moved, both taken under the lock, so the content is the mirror's at that place. No value,
    // changing nothing, when `from` has no entry.
    struct MovedEntry {
        std::uint64_t place;
        std::string content;
    };
    std::optional<MovedEntry> rename_file(std::filesystem::path const& from,
                                          std::filesystem::path const& to);

    // Brings the index of `path` up to its current content.
    void update(std::filesystem::path const& path);

    // The tracked file that holds `text` in its indexed content, or else one that once held it;
    // logs the search and the file found. The empty text is found in any file.
    std::optional<CopySource> find(std::string const& text);

    // The internal-copy step of one editor message, whole, under the lock, in this order:
    //   1. when `edit` is given, the change edits the mirror of `path` (`edit->count` bytes
    //      removed at `edit->offset`, then `inserted` put there, as edit_filecontent does);
    //   2. `inserted` is searched as find() searches it, in indexes that do not hold the change
    //      yet (an index is its content as of its last update);
    //   3. when `mirrored`, the index of `path` is brought up to its content.
    // So an insertion is an internal copy when its text was in a tracked file before it, never
    // because of itself, and no other change comes between the three steps.
    struct MirrorEdit {
        unsigned long offset;
        unsigned long count;
    };
    struct ChangeOutcome {
        std::optional<std::uint64_t> place;  // the edit's place in the mirrors' order
        std::optional<CopySource> source;    // where `inserted` occurred already
    };
    ChangeOutcome apply_editor_change(std::filesystem::path const& path,
                                      std::optional<MirrorEdit> edit, std::string const& inserted,
                                      bool mirrored);
    bool contains(std::string const& text) { return find(text).has_value(); }

    // Byte-wise three-way comparison of the mirrored content with `text`; 0 without an entry.
    int compare_filecontent(std::filesystem::path const& path, std::string const& text) const;
    // The line diff from the mirrored content to `text`; empty without an entry.
    std::string diff_filecontent(std::filesystem::path const& path, std::string const& text) const;
    std::string get_diff_per_line(std::filesystem::path const& path, std::string const& text) const;
    // The same line diff between two texts.
    static std::string line_diff(std::string const& old_content, std::string const& text);

private:
    using Node = std::unordered_map<std::filesystem::path, sambuf_pair>::value_type;

    sambuf_pair& entry(std::filesystem::path const& path);
    std::optional<CopySource> find_locked(std::string const& text);
    std::uint64_t edit_locked(std::filesystem::path const& path, unsigned long offset,
                              unsigned long count, std::string const& text);
    // An editor change of a file whose index is its mirror, within its content: the index takes
    // the change as an update would, around one edit of the string in place.
    std::uint64_t edit_in_step(sambuf_pair& file, unsigned long offset, unsigned long count,
                               std::string const& text);
    // The index of `file` takes a change that differs in `span` (not empty), in two halves: what
    // leaves, read in the content before it, and what arrives, read in the content after it.
    void index_cut(sambuf_pair& file, std::string_view before, ChangedSpan const& span,
                   bool edited);
    void index_result(sambuf_pair& file, std::string_view after, ChangedSpan const& span);
    // The indexed content of `file`.
    static std::string_view indexed_content(sambuf_pair const& file) {
        return file.index_is_buf ? file.buf : file.indexed;
    }
    // Keeps the indexed content apart from `buf`, which is about to change without the index.
    static void keep_index_apart(sambuf_pair& file);
    std::optional<CopySource> find_in_contents(std::string const& text);
    std::optional<CopySource> find_in_histories(std::string const& text);
    Node const* numbered(ContentCensus::Entry number) const;
    // update() with mutex_ held.
    void update_locked(std::filesystem::path const& path);
    void insert_locked(std::filesystem::path const& path, unsigned long offset,
                       std::string const& text);
    void delete_locked(std::filesystem::path const& path, unsigned long offset,
                       unsigned long count);
    void report_drift(std::filesystem::path const& path, unsigned long offset,
                      std::size_t size) const;

    // State below is protected by mutex_.
    std::unordered_map<std::filesystem::path, sambuf_pair> files_;
    // The entries by number; null for one replaced by a rename. Nodes of `files_` stay put.
    std::vector<Node*> by_number_;
    ContentCensus census_;
    std::uint64_t sequence_ = 0;
    mutable std::mutex mutex_;
};
