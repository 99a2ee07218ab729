#include "app/convert.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

using namespace std::chrono;
using Lines = std::vector<std::string>;

TEST(SplitLines, CutsAtLineFeedsOnly) {
    EXPECT_EQ(split_lines(""), Lines{});
    EXPECT_EQ(split_lines("a"), Lines{"a"});
    EXPECT_EQ(split_lines("\n"), Lines{""});
    EXPECT_EQ(split_lines("a\n"), Lines{"a"});
    EXPECT_EQ(split_lines("a\n\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(split_lines("a\r\nb"), (Lines{"a\r", "b"}));
}

TEST(FileActionText, KnownCodesRoundTripAndOthersAreUnknown) {
    for (FileAction action :
         {FileActions::Add, FileActions::Delete, FileActions::Modified, FileActions::Moved}) {
        EXPECT_EQ(str2action(action2str(action)), action);
    }
    EXPECT_EQ(action2str(0), "Unknown_FileAction");
    EXPECT_EQ(action2str(5), "Unknown_FileAction");
}

TEST(TimestampText, WritesUtcWithNineFractionDigits) {
    Timestamp const tp{seconds{1'700'000'000} + nanoseconds{123'456'000}};
    EXPECT_EQ(timestamp2str(tp), "2023-11-14 22:13:20.123456000");
    EXPECT_EQ(timestamp2str(Timestamp{}), "1970-01-01 00:00:00.000000000");
}

TEST(TimestampText, FractionBeforeTheEpochStaysNonNegative) {
    Timestamp const half_second_before{nanoseconds{-500'000'000}};
    EXPECT_EQ(timestamp2str(half_second_before), "1969-12-31 23:59:59.500000000");
    EXPECT_EQ(str2timestamp(timestamp2str(half_second_before)), half_second_before);
}

TEST(TimestampText, RoundTripsItsOwnOutput) {
    for (std::int64_t count : {std::int64_t{0}, std::int64_t{1}, std::int64_t{999'999'999},
                               std::int64_t{1'700'000'000'123'456'789},
                               std::int64_t{4'102'444'799'999'999'999}, std::int64_t{-1}}) {
        Timestamp const tp{nanoseconds{count}};
        EXPECT_EQ(str2timestamp(timestamp2str(tp)), tp) << count;
    }
}
