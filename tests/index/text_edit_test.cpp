#include "index/text_edit.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

namespace {

constexpr unsigned long kAllOnes = std::numeric_limits<unsigned long>::max();

void expect_span(ChangedSpan got, ChangedSpan want) {
    EXPECT_EQ(got.offset, want.offset);
    EXPECT_EQ(got.removed, want.removed);
    EXPECT_EQ(got.inserted, want.inserted);
}

}  // namespace

TEST(TextEdit, InsertAnywhereUpToTheEndAndRefuseBeyond) {
    std::string content = "bd";
    EXPECT_TRUE(insert_text(content, 0, "a"));
    EXPECT_TRUE(insert_text(content, 2, "c"));
    EXPECT_TRUE(insert_text(content, 4, "e"));
    EXPECT_EQ(content, "abcde");
    EXPECT_FALSE(insert_text(content, 6, "x"));
    EXPECT_FALSE(insert_text(content, kAllOnes, "x"));
    EXPECT_EQ(content, "abcde");
}

TEST(TextEdit, DeleteStopsAtTheEndWhateverTheCount) {
    std::string content = "abcdef";
    EXPECT_TRUE(delete_text(content, 1, 0));
    EXPECT_TRUE(delete_text(content, 1, 2));
    EXPECT_EQ(content, "adef");
    EXPECT_TRUE(delete_text(content, 2, 10));
    EXPECT_EQ(content, "ad");
    // All ones (a count of -1 converted) must not wrap around in offset + count.
    content = "abcdef";
    EXPECT_TRUE(delete_text(content, 3, kAllOnes));
    EXPECT_EQ(content, "abc");
    EXPECT_TRUE(delete_text(content, 3, 5));  // at the end: nothing to remove
    EXPECT_FALSE(delete_text(content, 4, 1));
    EXPECT_FALSE(delete_text(content, kAllOnes, kAllOnes));
    EXPECT_EQ(content, "abc");
}

TEST(TextEdit, ChangedSpanNeverLetsPrefixAndSuffixOverlap) {
    expect_span(changed_span("aa", "aaa"), {2, 0, 1});
    expect_span(changed_span("aaa", "aa"), {2, 1, 0});
    expect_span(changed_span("abc", "abc"), {3, 0, 0});
    expect_span(changed_span("", "xyz"), {0, 0, 3});
    expect_span(changed_span("one two three", "one 2 three"), {4, 3, 1});
}

TEST(TextEdit, ChangedSpanAgreesWithAByteScanAcrossBlocks) {
    std::mt19937 rng(99);
    for (int round = 0; round < 200; ++round) {
        // Long texts over a small alphabet cross the comparison blocks and repeat a lot.
        std::string before(rng() % 20000, 'a');
        for (auto& c : before) {
            c = static_cast<char>('a' + rng() % 3);
        }
        std::string after = before;
        std::size_t const at = after.empty() ? 0 : rng() % after.size();
        after.erase(at, rng() % 9000);
        after.insert(std::min(at, after.size()), std::string(rng() % 5000, 'b'));

        std::size_t prefix = 0;
        while (prefix < std::min(before.size(), after.size()) && before[prefix] == after[prefix]) {
            ++prefix;
        }
        std::size_t suffix = 0;
        while (suffix < std::min(before.size(), after.size()) - prefix &&
               before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
            ++suffix;
        }
        // Equal ends known beforehand, up to the whole common tail (which may overlap the
        // common head), only shorten the comparison.
        std::size_t tail = 0;
        while (tail < std::min(before.size(), after.size()) &&
               before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
            ++tail;
        }
        for (auto const got :
             {changed_span(before, after),
              changed_span(before, after, rng() % (prefix + 1), rng() % (tail + 1)),
              changed_span(before, after, prefix, tail)}) {
            ASSERT_EQ(got.offset, prefix) << round;
            ASSERT_EQ(got.removed, before.size() - prefix - suffix) << round;
            ASSERT_EQ(got.inserted, after.size() - prefix - suffix) << round;
        }
    }
}
