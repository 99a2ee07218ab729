#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

// Which bytes and byte pairs occur across every file of the insertion buffer, so that a search
// for a short text costs the same with ten thousand files as with one:
// - in the indexed contents: exact counts, kept at every change;
// - in the histories' neighbourhoods (index/content_history.hpp): presence, only ever added.
// A text with a byte or a pair absent from a part occurs nowhere in that part, and no file needs
// to be visited. For each byte and pair a hint names a file that brought it (the owner's entry
// number): the first place to look. A hint may be stale (the file lost it since, or its entry is
// gone); the owner checks the file it names and, when it does not hold the text, searches every
// file and reports the one found.
//
// Not thread-safe; the owner serialises the calls.
class ContentCensus {
public:
    using Entry = std::uint32_t;
    static constexpr Entry NO_ENTRY = std::numeric_limits<Entry>::max();

    // The indexed content of `entry` changed from `before` to `after`, which differ only in
    // [offset, offset + removed) of `before`, replaced by [offset, offset + inserted) of `after`;
    // told in two halves, so that an owner may edit its one copy of the content in place between
    // them: what leaves, read before the change, then what arrives, read after it. Only for a
    // change that changes something (removed or inserted not 0). The pairs counted include the
    // one across the cut: a pure insertion breaks it and a pure removal makes one.
    void content_leaving(std::string_view before, std::size_t offset, std::size_t removed) {
        remove_from_contents(before, offset, offset + removed);
    }
    void content_arriving(Entry entry, std::string_view after, std::size_t offset,
                          std::size_t inserted) {
        add_to_contents(after, offset, offset + inserted, entry);
    }
    // A whole content leaves (its entry was replaced).
    void content_dropped(std::string_view content);
    // Bytes that a history of `entry` now keeps as a neighbourhood.
    void history_kept(Entry entry, std::string_view neighbourhood);

    // False when `text` (not empty) certainly occurs in no indexed content / no neighbourhood.
    bool may_be_in_contents(std::string_view text) const;
    bool may_be_in_histories(std::string_view text) const;
    // Where to look first for `text` (not empty); NO_ENTRY when nothing is known.
    Entry content_hint(std::string_view text) const;
    Entry history_hint(std::string_view text) const;
    // `entry` was found to hold `text` (not empty): the next search for it looks there first.
    void found_in_content(std::string_view text, Entry entry);
    void found_in_history(std::string_view text, Entry entry);

private:
    static constexpr std::size_t PAIRS = 1u << 16;

    static unsigned byte_at(std::string_view text, std::size_t at) {
        return static_cast<unsigned char>(text[at]);
    }
    static unsigned pair_at(std::string_view text, std::size_t at) {
        return byte_at(text, at) << 8 | byte_at(text, at + 1);
    }
    // The pair of `text` (of at least two bytes) with the fewest occurrences in the contents.
    unsigned rarest_pair(std::string_view text) const;

    void add_to_contents(std::string_view content, std::size_t begin, std::size_t end, Entry entry);
    void remove_from_contents(std::string_view content, std::size_t begin, std::size_t end);

    // Counts and hints over the indexed contents.
    std::array<std::uint64_t, 256> byte_count_{};
    std::array<Entry, 256> byte_hint_ = filled<256>();
    std::vector<std::uint64_t> pair_count_ = std::vector<std::uint64_t>(PAIRS);
    std::vector<Entry> pair_hint_ = std::vector<Entry>(PAIRS, NO_ENTRY);
    // Presence and hints over the neighbourhoods.
    std::bitset<256> history_byte_;
    std::array<Entry, 256> history_byte_hint_ = filled<256>();
    std::vector<bool> history_pair_ = std::vector<bool>(PAIRS);
    std::vector<Entry> history_pair_hint_ = std::vector<Entry>(PAIRS, NO_ENTRY);

    template <std::size_t N>
    static std::array<Entry, N> filled() {
        std::array<Entry, N> all;
        all.fill(NO_ENTRY);
        return all;
    }
};
