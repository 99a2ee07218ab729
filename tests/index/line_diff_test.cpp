#include "index/insertion_buffer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string diff(std::string old_content, std::string const& new_content) {
    InsertionBuffer buffer;
    buffer.set_filecontent("/p/f", std::move(old_content));
    std::string const rendered = buffer.get_diff_per_line("/p/f", new_content);
    EXPECT_EQ(buffer.diff_filecontent("/p/f", new_content), rendered);
    return rendered;
}

}  // namespace

TEST(LineDiff, ReplacedLineIsOneDeleteAndOneAddBetweenCommonLines) {
    std::string const out = diff("a\nb\nc\n", "a\nx\nc\n");
    EXPECT_TRUE(out == "= a\n- b\n+ x\n= c\n" || out == "= a\n+ x\n- b\n= c\n") << out;
}

TEST(LineDiff, IdenticalContentsRenderEveryLineAsCommon) {
    EXPECT_EQ(diff("one\ntwo\n\nfour", "one\ntwo\n\nfour"), "= one\n= two\n= \n= four\n");
    EXPECT_EQ(diff("", ""), "");
}

TEST(LineDiff, FinalLineFeedIsNotALineButStillCompares) {
    InsertionBuffer buffer;
    buffer.set_filecontent("f", "a");
    EXPECT_NE(buffer.compare_filecontent("f", "a\n"), 0);
    EXPECT_EQ(buffer.get_diff_per_line("f", "a\n"), "= a\n");
}

TEST(LineDiff, PathWithoutEntryComparesEqualAndHasNoDiff) {
    InsertionBuffer buffer;
    EXPECT_EQ(buffer.compare_filecontent("/nowhere", "anything"), 0);
    EXPECT_EQ(buffer.get_diff_per_line("/nowhere", "anything\nelse\n"), "");
    EXPECT_EQ(buffer.diff_filecontent("/nowhere", "x"), "");
    EXPECT_FALSE(buffer.get_filecontent("/nowhere").has_value());
}

TEST(LineDiff, AddedAndRemovedLines) {
    EXPECT_EQ(diff("", "x\ny\n"), "+ x\n+ y\n");
    EXPECT_EQ(diff("x\ny", ""), "- x\n- y\n");
    EXPECT_EQ(diff("a\n\nb\n", "a\nb\n"), "= a\n- \n= b\n");
    EXPECT_EQ(diff("a\nc\n", "a\nb\nc\n"), "= a\n+ b\n= c\n");
}

TEST(LineDiff, CarriageReturnStaysPartOfItsLine) {
    EXPECT_EQ(diff("a\nb\n", "a\r\nb\n"), "- a\n+ a\r\n= b\n");
}

TEST(CompareFilecontent, OrdersByUnsignedBytesWithPrefixFirst) {
    InsertionBuffer buffer;
    buffer.set_filecontent("f", "abc");
    EXPECT_EQ(buffer.compare_filecontent("f", "abc"), 0);
    EXPECT_LT(buffer.compare_filecontent("f", "abd"), 0);
    EXPECT_GT(buffer.compare_filecontent("f", "abb"), 0);
    EXPECT_LT(buffer.compare_filecontent("f", "abcd"), 0);
    EXPECT_GT(buffer.compare_filecontent("f", "ab"), 0);
    // A byte of 0x80 and above orders after every ASCII byte.
    EXPECT_LT(buffer.compare_filecontent("f", "ab\xc3"), 0);
    buffer.set_filecontent("g", "\xff");
    EXPECT_GT(buffer.compare_filecontent("g", "z"), 0);
    // Only the mirror is compared, not the index.
    buffer.update("f");
    buffer.insert_filecontent("f", 3, "!");
    EXPECT_EQ(buffer.compare_filecontent("f", "abc!"), 0);
}
