#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What one file's content has been: answers whether a text was a substring of some content the
// file had at an update, without keeping every content whole. The caller hands in each change as
// the content before it, the content after it and where they differ; nothing is ever forgotten.
//
// Two parts, each with its own guarantee:
// - Fingerprints, kept at every change: the 16-byte pieces of the content are hashed, and of each
//   run of 8 consecutive pieces the smallest hash is kept (winnowing). A text of at least
//   `LONG_TEXT` (23) bytes whose every run of 8 pieces has its smallest hash kept is found, so
//   every substring of that length or more of every content is found, whatever its length. A text
//   made of such substrings that overlap enough is found too, as is, very rarely, a text whose
//   hashes collide.
// - Neighbourhoods, kept where an editing run starts: the bytes a change removes, with the
//   `LONG_TEXT` - 1 bytes on each side, as they were before the run's first change. Every shorter
//   text of a content the file had when a run started is found in them, byte for byte.
//
// What is given up: a text shorter than `LONG_TEXT` bytes that existed only between two changes of
// one editing run (typing or erasing at one place, each change inside the text the run has typed)
// and not in the current content. Such a content lasted between two keystrokes.
//
// Not thread-safe; the owner serialises the calls.
class ContentHistory {
public:
    static constexpr std::size_t GRAM = 16;   // bytes in a hashed piece
    static constexpr std::size_t WINDOW = 8;  // consecutive pieces of which the smallest is kept
    static constexpr std::size_t LONG_TEXT = GRAM + WINDOW - 1;
    // A change that inserts more than this starts a new run (a paste, a reset from disk).
    static constexpr std::size_t RUN_INSERT_LIMIT = 64;

    // Records the change from `before` to `after`, which differ only in [offset, offset + removed)
    // of `before`, replaced by [offset, offset + inserted) of `after`, in two halves, so that an
    // owner may edit its one copy of the content in place between them: the cut, read in the
    // content before the change, then its result, read after. `edited` tells an editor's change,
    // which may continue a run, from a content set whole (loaded, read from disk). Only for a
    // change that changes something (removed or inserted not 0).
    void record_cut(std::string_view before, std::size_t offset, std::size_t removed,
                    std::size_t inserted, bool edited);
    void record_result(std::string_view after, std::size_t offset, std::size_t inserted);

    // Whether `text` was a substring of some recorded content (see above); the empty text always.
    bool holds(std::string_view text) const;

    // The neighbourhoods kept so far, one after another (each `record_cut` only appends).
    std::string_view neighbourhoods() const { return neighbourhoods_; }

private:
    void keep_fingerprints(std::string_view content, std::size_t first_window,
                           std::size_t end_window);
    void keep_neighbourhood(std::string_view before, std::size_t offset, std::size_t removed);
    bool has_fingerprint(std::uint64_t hash) const;
    void add_fingerprint(std::uint64_t hash);
    bool in_neighbourhoods(std::string_view text) const;

    // Open addressing over hashes; 0 marks a free slot (a zero hash is stored as 1).
    std::vector<std::uint64_t> table_;
    std::size_t fingerprints_ = 0;
    // The neighbourhoods one after another, and where each ends: a match must lie inside one.
    std::string neighbourhoods_;
    std::vector<std::size_t> neighbourhood_ends_;
    // The text typed by the current run, in the content after the last change.
    bool in_run_ = false;
    std::size_t run_begin_ = 0;
    std::size_t run_end_ = 0;
};
