#include "editor/line_framer.hpp"

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

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
