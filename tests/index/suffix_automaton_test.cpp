#include "index/suffix_automaton.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

bool brute_contains(std::vector<std::string> const& added, std::string const& text) {
    for (auto const& s : added) {
        if (s.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string random_text(std::mt19937& rng, std::string const& alphabet, std::size_t length) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(alphabet[pick(rng)]);
    }
    return text;
}

std::string all_bytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

}  // namespace

TEST(SuffixAutomaton, NewAutomatonHoldsOnlyTheEmptyText) {
    SuffixAutomaton sam;
    EXPECT_EQ(sam.size(), 1u);
    EXPECT_TRUE(sam.contains(""));
    EXPECT_FALSE(sam.contains("a"));
    EXPECT_FALSE(sam.contains(std::string(1, '\0')));
    sam.add("");
    EXPECT_EQ(sam.size(), 1u);
}

TEST(SuffixAutomaton, RecognisesExactlyTheSubstrings) {
    SuffixAutomaton sam;
    sam.add("abcbc");
    for (char const* yes : {"", "cbc", "bcb", "abcbc", "a", "bc"}) {
        EXPECT_TRUE(sam.contains(yes)) << yes;
    }
    for (char const* no : {"cc", "ca", "abcbcx", "ac", "bcbcb"}) {
        EXPECT_FALSE(sam.contains(no)) << no;
    }
}

TEST(SuffixAutomaton, SeveralStringsDoNotJoinAcrossTheirBoundary) {
    SuffixAutomaton sam;
    sam.add("xy");
    sam.add("yz");
    EXPECT_TRUE(sam.contains("xy"));
    EXPECT_TRUE(sam.contains("yz"));
    EXPECT_TRUE(sam.contains("y"));
    EXPECT_FALSE(sam.contains("xyz"));
    EXPECT_FALSE(sam.contains("yy"));
}

TEST(SuffixAutomaton, ExtendingAKnownStringAppendsOnlyForTheNewCharacter) {
    SuffixAutomaton sam;
    sam.add("ab");
    auto const before = sam.size();
    sam.add("abc");
    EXPECT_EQ(sam.size(), before + 1);
    EXPECT_TRUE(sam.contains("bc"));
    EXPECT_TRUE(sam.contains("c"));
    EXPECT_TRUE(sam.contains("ab"));
    EXPECT_FALSE(sam.contains("ca"));
}

TEST(SuffixAutomaton, KnownSuffixOfLongerStateIsSplitOffByOneClone) {
    SuffixAutomaton sam;
    sam.add("ab");
    EXPECT_EQ(sam.size(), 3u);
    sam.add("b");
    EXPECT_EQ(sam.size(), 4u);
    EXPECT_TRUE(sam.contains("ab"));
    EXPECT_TRUE(sam.contains("b"));
    // The clone must not have changed what is recognised after it.
    sam.add("bd");
    EXPECT_TRUE(sam.contains("bd"));
    EXPECT_FALSE(sam.contains("abd"));
}

TEST(SuffixAutomaton, ReaddingAnyKnownStringAppendsNothing) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        SuffixAutomaton sam;
        std::vector<std::string> added;
        for (int i = 0; i < 3; ++i) {
            added.push_back(random_text(rng, "abc", 1 + rng() % 40));
            sam.add(added.back());
        }
        auto const size = sam.size();
        for (auto const& s : added) {
            sam.add(s);
        }
        EXPECT_EQ(sam.size(), size);
        // A known substring may still need a clone (it was never a whole string), but only once.
        std::string const part = added[0].substr(added[0].size() / 3, added[0].size() / 2);
        sam.add(part);
        auto const with_part = sam.size();
        sam.add(part);
        EXPECT_EQ(sam.size(), with_part);
    }
}

TEST(SuffixAutomaton, AgreesWithBruteForceOnGeneratedStrings) {
    std::mt19937 rng(12345);
    std::vector<std::string> const alphabets = {"a", "ab", "abc", "abcdefghij", all_bytes()};
    for (int round = 0; round < 300; ++round) {
        auto const& alphabet = alphabets[round % alphabets.size()];
        SuffixAutomaton sam;
        std::vector<std::string> added;
        std::size_t total = 0;
        int const strings = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < strings; ++i) {
            // Repetitive strings stress the clone steps; some strings repeat parts of earlier ones.
            std::string text;
            if (round % 3 == 0 && !added.empty()) {
                auto const& earlier = added[rng() % added.size()];
                text = earlier.substr(rng() % (earlier.size() + 1)) +
                       random_text(rng, alphabet, rng() % 10);
            } else if (round % 3 == 1) {
                std::string const unit = random_text(rng, alphabet, 1 + rng() % 3);
                for (std::size_t r = rng() % 15; r > 0; --r) {
                    text += unit;
                }
            } else {
                text = random_text(rng, alphabet, rng() % 50);
            }
            sam.add(text);
            added.push_back(text);
            total += text.size();
        }
        ASSERT_LE(sam.size(), 2 * total + 1);

        for (auto const& s : added) {
            for (std::size_t i = 0; i < s.size(); ++i) {
                for (std::size_t n = 1; i + n <= s.size(); ++n) {
                    ASSERT_TRUE(sam.contains(s.substr(i, n))) << "round " << round;
                }
            }
        }
        for (int q = 0; q < 300; ++q) {
            std::string query = random_text(rng, alphabet, rng() % 8);
            if (q % 2 == 0 && !added.empty()) {
                // Near misses: a real substring with one byte changed or appended.
                auto const& s = added[rng() % added.size()];
                std::size_t const at = s.empty() ? 0 : rng() % s.size();
                query = s.substr(at, rng() % 12) + random_text(rng, alphabet, 1);
            }
            ASSERT_EQ(sam.contains(query), brute_contains(added, query))
                << "round " << round << " query size " << query.size();
        }
    }
}

TEST(SuffixAutomaton, HighBytesAreOrdinaryCharacters) {
    SuffixAutomaton sam;
    std::string const text = "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80 \xff\x80";
    sam.add(text);
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (std::size_t n = 1; i + n <= text.size(); ++n) {
            ASSERT_TRUE(sam.contains(text.substr(i, n)));
        }
    }
    EXPECT_FALSE(sam.contains("\xc3\xbc\xc3\xbc"));
    EXPECT_FALSE(sam.contains("\x80\xff"));
}

TEST(SuffixAutomaton, LongRepetitiveTextStaysLinear) {
    SuffixAutomaton sam;
    std::string const a(5000, 'a');
    sam.add(a);
    EXPECT_EQ(sam.size(), a.size() + 1);
    std::string ab;
    for (int i = 0; i < 2000; ++i) {
        ab += "ab";
    }
    sam.add(ab);
    EXPECT_LE(sam.size(), 2 * (a.size() + ab.size()) + 1);
    EXPECT_TRUE(sam.contains(a));
    EXPECT_TRUE(sam.contains(ab));
    EXPECT_FALSE(sam.contains(a + "a"));
    EXPECT_FALSE(sam.contains("bb"));
}
