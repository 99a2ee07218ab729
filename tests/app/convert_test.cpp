#include "app/convert.hpp"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono;

// UTC with nine fraction digits; before the epoch the fraction stays non-negative.
TEST(TimestampText, WritesUtcWithNineFractionDigits) {
    for (auto const& [count, text] : std::vector<std::pair<std::int64_t, std::string>>{
             {1'700'000'000'123'456'000, "2023-11-14 22:13:20.123456000"},
             {0, "1970-01-01 00:00:00.000000000"},
             {-500'000'000, "1969-12-31 23:59:59.500000000"},
             {4'102'444'799'999'999'999, "2099-12-31 23:59:59.999999999"}}) {
        EXPECT_EQ(timestamp2str(Timestamp{nanoseconds{count}}), text);
    }
}
