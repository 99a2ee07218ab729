#include "index/suffix_automaton.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

// Several random texts in one automaton, against a plain substring search. Small alphabets make
// later texts run along and split earlier ones, so that every clone step runs.
TEST(SuffixAutomaton, AgreesWithBruteForceAndReaddingAppendsNothing) {
    std::mt19937 rng(12345);
    auto random_text = [&](std::string const& alphabet, std::size_t length) {
        std::string text;
        while (text.size() < length) {
            text.push_back(alphabet[rng() % alphabet.size()]);
        }
        return text;
    };
    for (int round = 0; round < 400; ++round) {
        // From one letter (long repeats) to bytes of every kind.
        std::string const alphabet =
            std::string("a\0\200\377bcdefghij", 13).substr(0, 1 + round % 13);
        SuffixAutomaton sam;
        std::vector<std::string> added;
        std::size_t total = 0;
        for (int i = 1 + static_cast<int>(rng() % 4); i > 0; --i) {
            std::string const text = random_text(alphabet, rng() % 50);
            sam.add(text);
            added.push_back(text);
            total += text.size();
        }
        ASSERT_LE(sam.size(), 2 * total + 1);
        for (int q = 0; q < 300; ++q) {
            // Real substrings, and near misses: a real substring followed by one more byte.
            auto const& s = added[rng() % added.size()];
            std::string query = s.substr(s.empty() ? 0 : rng() % s.size(), rng() % 12);
            if (q % 2 == 0) {
                query += random_text(alphabet, 1);
            }
            bool expected = false;
            for (auto const& text : added) {
                expected = expected || text.find(query) != std::string::npos;
            }
            ASSERT_EQ(sam.contains(query), expected) << "round " << round << ": " << query;
        }
        auto const size = sam.size();
        for (auto const& s : added) {
            sam.add(s);
        }
        ASSERT_EQ(sam.size(), size) << "re-adding appended states, round " << round;
    }
}
