#include "index/text_edit.hpp"
#include "support/repetitive_text.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

// The common prefix and suffix end near the edges of the comparison blocks; in text that repeats
// a lot they would overlap if the suffix were not measured after the prefix.
TEST(TextEdit, ChangedSpanAgreesWithAByteScanAroundBlockEdges) {
    std::mt19937 rng(99);
    auto const text = [&](std::size_t length) { return repetitive_text(rng, length, 3); };
    auto near_block_edge = [&] {
        std::size_t const length = (rng() % 3) * 4096 + rng() % 3;
        return length == 0 ? 0 : length - 1;
    };
    for (int round = 0; round < 300; ++round) {
        // Up to two changed places: both edges of the changed span can lie inside a block.
        std::string const prefix = text(near_block_edge()), middle = text(near_block_edge()),
                          suffix = text(near_block_edge());
        std::string const before = prefix + text(rng() % 3) + middle + text(rng() % 3) + suffix;
        std::string const after = prefix + text(rng() % 3) + middle + text(rng() % 3) + suffix;
        std::size_t const shorter = std::min(before.size(), after.size());
        std::size_t same = 0, tail = 0;
        while (same < shorter && before[same] == after[same]) {
            ++same;
        }
        while (tail < shorter - same &&
               before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
            ++tail;
        }
        // Equal ends known beforehand, up to the whole common tail (which may overlap the common
        // head), only shorten the comparison.
        std::size_t whole_tail = tail;
        while (whole_tail < shorter &&
               before[before.size() - 1 - whole_tail] == after[after.size() - 1 - whole_tail]) {
            ++whole_tail;
        }
        for (auto const got :
             {changed_span(before, after),
              changed_span(before, after, rng() % (same + 1), rng() % (whole_tail + 1)),
              changed_span(before, after, same, whole_tail)}) {
            ASSERT_EQ(got.offset, same) << round;
            ASSERT_EQ(got.removed, before.size() - same - tail) << round;
            ASSERT_EQ(got.inserted, after.size() - same - tail) << round;
        }
    }
}

// An edit's span, found before the edit is made, is the span between the content and the edited
// content: trimmed alike where the inserted text repeats what it replaces or what lies beside it.
TEST(TextEdit, EditSpanIsTheChangedSpanOfTheEditedContent) {
    std::mt19937 rng(5);
    auto const text = [&](std::size_t length) { return repetitive_text(rng, length, 2); };
    for (int round = 0; round < 3000; ++round) {
        std::size_t const length = rng() % 4 == 0 ? 4096 * (1 + rng() % 2) + rng() % 9 : rng() % 40;
        std::string const content = rng() % 5 == 0 ? std::string(length, 'a') : text(length);
        std::size_t const offset = rng() % (content.size() + 1);
        std::size_t const removed = rng() % (content.size() - offset + 1);
        std::string inserted;
        switch (rng() % 4) {
            case 0:  // what it replaces, or a part of it
                inserted = content.substr(offset, rng() % (removed + 1));
                break;
            case 1:  // what lies before it
                inserted = content.substr(offset - rng() % (offset + 1), rng() % 5000);
                break;
            case 2:
                inserted = std::string(rng() % 5000, 'a');
                break;
            default:
                inserted = text(rng() % 6);
        }
        std::string const edited =
            content.substr(0, offset) + inserted + content.substr(offset + removed);
        ChangedSpan const expected = changed_span(content, edited);
        ChangedSpan const got = edit_span(content, offset, removed, inserted);
        ASSERT_EQ(got.offset, expected.offset) << round;
        ASSERT_EQ(got.removed, expected.removed) << round;
        ASSERT_EQ(got.inserted, expected.inserted) << round;
    }
}
