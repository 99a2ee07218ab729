#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// The rows of one query on an SQLite file, every value as text ("NULL" for a null value).
using SqlRow = std::vector<std::string>;
std::vector<SqlRow> sql_rows(std::filesystem::path const& db, std::string const& query);

// Waits, at most `bound`, until `count_query` (a SELECT COUNT(*)) returns at least `count`.
// Returns the last count seen.
long long wait_for_count(std::filesystem::path const& db, std::string const& count_query,
                         long long count, std::chrono::milliseconds bound);
