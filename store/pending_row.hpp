#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One value of a row, as SQLite stores it. `LatestIdOf` is not stored as given: the row takes the
// highest `id` of the table named in `bytes` at the moment it is written (0 when that table is
// empty), so that it is placed after exactly the rows written before it.
struct RowValue {
    enum class Kind { Null, Integer, Text, Blob, LatestIdOf };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    std::string bytes;  // the text or blob, or for LatestIdOf the table's name

    static RowValue null() { return {}; }
    static RowValue number(std::int64_t value) { return {Kind::Integer, value, {}}; }
    static RowValue text(std::string value) { return {Kind::Text, 0, std::move(value)}; }
    static RowValue blob(std::string value) { return {Kind::Blob, 0, std::move(value)}; }
    static RowValue latest_id_of(std::string table) {
        return {Kind::LatestIdOf, 0, std::move(table)};
    }
    bool operator==(RowValue const&) const = default;
};

// A table and the columns a row gives values for, with the statement that inserts such a row.
// Shared by every row of its kind.
struct RowShape {
    std::string table;
    std::vector<std::string> columns;
    // "INSERT INTO table (a, b) VALUES (?, ?)"; a LatestIdOf value at the end makes it
    // "INSERT INTO table (a, b) SELECT ?, COALESCE(MAX(rowid), 0) FROM other".
    std::string sql;

    // The shape of rows whose values have the kinds of `sample` (only LatestIdOf matters).
    static std::shared_ptr<RowShape const> make(std::string table, std::vector<std::string> columns,
                                                std::vector<RowValue> const& sample);
};

// A row received and not yet committed, in the order rows are written. Everything needed to write
// it again, or to rebuild it elsewhere, is kept: it is the evidence until the database has it.
struct PendingRow {
    std::shared_ptr<RowShape const> shape;
    std::vector<RowValue> values;
    // When the monitor received it: the row's recording time if it has to be rebuilt later.
    std::chrono::system_clock::time_point received_at = std::chrono::system_clock::now();
    // Logged when the row is first handed to the database, and, when the row is refused for good,
    // after the refusal (either may be empty).
    std::string announcement;
    std::string refusal_note;
    // The writer's marks: the announcement was logged; the database refused the row for good.
    bool announced = false;
    bool refused = false;
};

// "YYYY-MM-DD HH:MM:SS.mmm" in UTC, the form of the tables' `recorded_at`.
std::string recorded_at_text(std::chrono::system_clock::time_point when);
