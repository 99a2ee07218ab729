#include "app/convert.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <random>

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

// Any second a time point can hold (1900 to 2261), leap days included, reads as the C library's
// calendar says.
TEST(TimestampText, AgreesWithTheCalendarOfTheCLibrary) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> second(-2'208'988'800, 9'200'000'000);
    std::uniform_int_distribution<std::int64_t> nanosecond(0, 999'999'999);
    for (int i = 0; i < 20'000; ++i) {
        std::int64_t const whole =
            i < 4 ? std::int64_t{951'782'400} + 86'400 * (i - 1) : second(random);
        std::int64_t const fraction = nanosecond(random);
        std::time_t const time = static_cast<std::time_t>(whole);
        std::tm utc{};
        gmtime_r(&time, &utc);
        std::string const expected =
            fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:09}", utc.tm_year + 1900,
                        utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
        EXPECT_EQ(timestamp2str(Timestamp{nanoseconds{whole * 1'000'000'000 + fraction}}), expected)
            << whole;
    }
}
