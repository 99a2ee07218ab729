#include "editor/line_framer.hpp"

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

TEST(LineFramer, SplitsAtLineFeedsAcrossAndWithinChunks) {
    LineFramer framer;
    EXPECT_EQ(framer.feed("one\ntwo\nthr"), (Lines{"one", "two"}));
    EXPECT_EQ(framer.pending_size(), 3u);
    EXPECT_EQ(framer.feed("e"), Lines{});
    EXPECT_EQ(framer.feed("e\r\n\n\nfour\n"), (Lines{"three\r", "four"}));
    EXPECT_EQ(framer.pending_size(), 0u);
    EXPECT_EQ(framer.feed(""), Lines{});
}

TEST(LineFramer, DropsAnOverlongLineUpToItsLineFeedAndKeepsTheRest) {
    LineFramer framer(8);
    EXPECT_EQ(framer.feed("12345678"), Lines{});  // at the cap: still waiting
    EXPECT_EQ(framer.feed("\n"), Lines{"12345678"});
    EXPECT_EQ(framer.feed("first\n0123"), Lines{"first"});
    EXPECT_EQ(framer.feed("45678"), Lines{});
    EXPECT_EQ(framer.dropped_lines(), 1u);
    EXPECT_EQ(framer.pending_size(), 0u);
    EXPECT_EQ(framer.feed("still the long line"), Lines{});
    EXPECT_EQ(framer.feed(" ends\nnext\nla"), Lines{"next"});
    EXPECT_EQ(framer.feed("st\n"), Lines{"last"});
    EXPECT_EQ(framer.dropped_lines(), 1u);
    // A line that arrives whole with its line feed has not waited past the cap.
    EXPECT_EQ(framer.feed("longer than eight\n"), Lines{"longer than eight"});
}
