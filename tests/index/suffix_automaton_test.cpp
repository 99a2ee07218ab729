#include "index/suffix_automaton.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string random_text(std::mt19937& rng, std::string const& alphabet, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(alphabet[rng() % alphabet.size()]);
    }
    return text;
}

void expect_all_substrings(SuffixAutomaton const& sam, std::string const& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        for (std::size_t n = 1; i + n <= s.size(); ++n) {
            ASSERT_TRUE(sam.contains(s.substr(i, n))) << i << "+" << n;
        }
    }
}

}  // namespace

TEST(SuffixAutomaton, RecognisesExactlyTheSubstringsOfEachAddedString) {
    SuffixAutomaton sam;
    EXPECT_EQ(sam.size(), 1u);
    EXPECT_TRUE(sam.contains(""));
    EXPECT_FALSE(sam.contains(std::string(1, '\0')));
    sam.add("abcbc");
    for (char const* yes : {"", "cbc", "bcb", "abcbc"}) {
        EXPECT_TRUE(sam.contains(yes)) << yes;
    }
    for (char const* no : {"cc", "ca", "abcbcx"}) {
        EXPECT_FALSE(sam.contains(no)) << no;
    }
    SuffixAutomaton two;
    two.add("xy");
    two.add("yz");
    EXPECT_TRUE(two.contains("xy") && two.contains("yz") && two.contains("y"));
    EXPECT_FALSE(two.contains("xyz"));  // strings never join across their boundary
}

TEST(SuffixAutomaton, AppendsStatesOnlyForWhatIsNew) {
    SuffixAutomaton sam;
    sam.add("ab");
    sam.add("abc");
    EXPECT_EQ(sam.size(), 4u);  // one state for the c
    EXPECT_TRUE(sam.contains("bc") && sam.contains("c") && sam.contains("ab"));
    EXPECT_FALSE(sam.contains("ca"));

    SuffixAutomaton split;
    split.add("ab");
    split.add("b");
    EXPECT_EQ(split.size(), 4u);  // one clone separates b from ab
    split.add("bd");
    EXPECT_TRUE(split.contains("ab") && split.contains("bd"));
    EXPECT_FALSE(split.contains("abd"));
}

TEST(SuffixAutomaton, AgreesWithBruteForceAndReaddingAppendsNothing) {
    std::string every_byte;
    for (int b = 0; b < 256; ++b) {
        every_byte.push_back(static_cast<char>(b));
    }
    std::vector<std::string> const alphabets = {"a", "ab", "abc", "abcdefghij", every_byte};
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        auto const& alphabet = alphabets[round % alphabets.size()];
        SuffixAutomaton sam;
        std::vector<std::string> added;
        std::size_t total = 0;
        for (int i = 1 + static_cast<int>(rng() % 4); i > 0; --i) {
            // Repetitive strings and strings reusing earlier ones stress the clone steps.
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
            expect_all_substrings(sam, s);
        }
        for (int q = 0; q < 300; ++q) {
            std::string query = random_text(rng, alphabet, rng() % 8);
            if (q % 2 == 0) {
                // Near misses: a real substring followed by one more byte.
                auto const& s = added[rng() % added.size()];
                query = s.substr(s.empty() ? 0 : rng() % s.size(), rng() % 12) +
                        random_text(rng, alphabet, 1);
            }
            bool expected = false;
            for (auto const& s : added) {
                expected = expected || s.find(query) != std::string::npos;
            }
            ASSERT_EQ(sam.contains(query), expected) << "round " << round;
        }
        auto const size = sam.size();
        for (auto const& s : added) {
            sam.add(s);
        }
        ASSERT_EQ(sam.size(), size) << "re-adding appended states, round " << round;
    }
}

TEST(SuffixAutomaton, Utf8AndRepetitiveTexts) {
    SuffixAutomaton sam;
    std::string const text = "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80 \xff\x80";
    sam.add(text);
    expect_all_substrings(sam, text);
    EXPECT_FALSE(sam.contains("\xc3\xbc\xc3\xbc"));
    EXPECT_FALSE(sam.contains("\x80\xff"));

    SuffixAutomaton runs;
    runs.add(std::string(5000, 'a'));
    EXPECT_EQ(runs.size(), 5001u);
    EXPECT_FALSE(runs.contains(std::string(5001, 'a')));
}
