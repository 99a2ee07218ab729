#include "app/convert.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <iomanip>
#include <sstream>

Timestamp now_timestamp() {
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

std::string keycode2char(std::uint16_t code) {
    return fmt::format("{}", code);
}

std::uint16_t keychar2code(std::string const&) {
    return 0;
}

namespace {

// Writes `value` as exactly `width` decimal digits at `out`; returns the end.
char* put_digits(char* out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

}  // namespace

std::string timestamp2str(Timestamp tp) {
    constexpr std::int64_t nanos_per_second = 1'000'000'000;
    std::int64_t const count = tp.time_since_epoch().count();
    // Floor division keeps the fraction non-negative for time points before the epoch.
    std::int64_t seconds = count / nanos_per_second;
    std::int64_t fraction = count % nanos_per_second;
    if (fraction < 0) {
        fraction += nanos_per_second;
        --seconds;
    }
    // Every stored row has a time: written by hand rather than through gmtime_r and a format,
    // which cost a keystroke more than the rest of its row's values.
    using namespace std::chrono;
    sys_seconds const whole{std::chrono::seconds{seconds}};
    sys_days const day = floor<days>(whole);
    year_month_day const date{day};
    int const year = static_cast<int>(date.year());
    if (year < 0 || year > 9999) {
        std::time_t const time = static_cast<std::time_t>(seconds);
        std::tm utc{};
        gmtime_r(&time, &utc);
        return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:09}", utc.tm_year + 1900,
                           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                           fraction);
    }
    auto const in_day = static_cast<std::uint64_t>((whole - day).count());
    std::string text(29, ' ');
    char* out = text.data();
    out = put_digits(out, static_cast<std::uint64_t>(year), 4);
    *out++ = '-';
    out = put_digits(out, static_cast<unsigned>(date.month()), 2);
    *out++ = '-';
    out = put_digits(out, static_cast<unsigned>(date.day()), 2);
    *out++ = ' ';
    out = put_digits(out, in_day / 3600, 2);
    *out++ = ':';
    out = put_digits(out, in_day / 60 % 60, 2);
    *out++ = ':';
    out = put_digits(out, in_day % 60, 2);
    *out++ = '.';
    put_digits(out, static_cast<std::uint64_t>(fraction), 9);
    return text;
}

Timestamp str2timestamp(std::string const& text) {
    std::string datetime = text;
    long long fraction = 0;
    if (auto const point = text.find('.'); !text.empty() && point != std::string::npos) {
        datetime = text.substr(0, point);
        fraction = std::stoi(text.substr(point + 1));
    }
    std::tm broken{};
    std::istringstream in(datetime);
    in >> std::get_time(&broken, "%Y-%m-%d %H:%M:%S");
    broken.tm_isdst = 0;
    std::time_t const seconds = timegm(&broken);
    return Timestamp{std::chrono::seconds{seconds} + std::chrono::nanoseconds{fraction}};
}

std::string action2str(FileAction action) {
    switch (action) {
        case FileActions::Add:
            return "Add";
        case FileActions::Delete:
            return "Delete";
        case FileActions::Modified:
            return "Modified";
        case FileActions::Moved:
            return "Moved";
        default:
            return "Unknown_FileAction";
    }
}

FileAction str2action(std::string const& text) {
    if (text == "Add") {
        return FileActions::Add;
    }
    if (text == "Delete") {
        return FileActions::Delete;
    }
    if (text == "Modified") {
        return FileActions::Modified;
    }
    return FileActions::Moved;
}

std::vector<std::string> split_lines(std::string const& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char const c : text) {
        if (c == '\n') {
            lines.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        lines.push_back(std::move(current));
    }
    return lines;
}
