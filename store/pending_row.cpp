#include "store/pending_row.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

std::shared_ptr<RowShape const> RowShape::make(std::string table, std::vector<std::string> columns,
                                               std::vector<RowValue> const& sample) {
    std::string placeholders;
    std::string latest_of;
    for (RowValue const& value : sample) {
        if (!placeholders.empty()) {
            placeholders += ", ";
        }
        if (value.kind == RowValue::Kind::LatestIdOf) {
            placeholders += "COALESCE(MAX(rowid), 0)";
            latest_of = value.bytes;
        } else {
            placeholders += "?";
        }
    }
    std::string sql = fmt::format("INSERT INTO {} ({}) ", table, fmt::join(columns, ", "));
    sql += latest_of.empty() ? fmt::format("VALUES ({})", placeholders)
                             : fmt::format("SELECT {} FROM {}", placeholders, latest_of);
    return std::make_shared<RowShape const>(
        RowShape{std::move(table), std::move(columns), std::move(sql)});
}

std::string recorded_at_text(std::chrono::system_clock::time_point when) {
    auto const ms = std::chrono::time_point_cast<std::chrono::milliseconds>(when);
    auto const day = std::chrono::floor<std::chrono::days>(ms);
    std::chrono::year_month_day const date(day);
    std::chrono::hh_mm_ss const time(ms - day);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", static_cast<int>(date.year()),
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                       time.hours().count(), time.minutes().count(), time.seconds().count(),
                       time.subseconds().count());
}
