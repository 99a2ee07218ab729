#include "support/sql_rows.hpp"

#include <sqlite3.h>

#include <stdexcept>
#include <thread>

std::vector<SqlRow> sql_rows(std::filesystem::path const& db, std::string const& query) {
    sqlite3* conn = nullptr;
    if (sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string const message = sqlite3_errmsg(conn);
        sqlite3_close(conn);
        throw std::runtime_error("cannot open " + db.native() + ": " + message);
    }
    sqlite3_busy_timeout(conn, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(conn, query.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        std::string const message = sqlite3_errmsg(conn);
        sqlite3_close(conn);
        throw std::runtime_error("cannot prepare " + query + ": " + message);
    }
    std::vector<SqlRow> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        SqlRow row;
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
            if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
                row.emplace_back("NULL");
                continue;
            }
            auto const* text = static_cast<char const*>(sqlite3_column_blob(statement, column));
            row.emplace_back(text == nullptr
                                 ? ""
                                 : std::string(text, static_cast<std::size_t>(
                                                         sqlite3_column_bytes(statement, column))));
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    sqlite3_close(conn);
    return rows;
}

long long wait_for_count(std::filesystem::path const& db, std::string const& count_query,
                         long long count, std::chrono::milliseconds bound) {
    auto const deadline = std::chrono::steady_clock::now() + bound;
    long long seen = -1;
    while (true) {
        if (std::filesystem::exists(db)) {
            try {
                seen = std::stoll(sql_rows(db, count_query).at(0).at(0));
            } catch (std::exception const&) {
                seen = -1;  // the tables may not exist yet
            }
        }
        if (seen >= count || std::chrono::steady_clock::now() >= deadline) {
            return seen;
        }
        // Rows are written by another process; there is nothing to wait on but the file.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
