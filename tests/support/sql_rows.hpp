#pragma once

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

// A connection of its own to an SQLite file, the way a reviewer (or another program) reads it.
// `busy` is how long a statement waits for a lock that a writer holds.
class SqlReader {
public:
    explicit SqlReader(std::filesystem::path const& path,
                       std::chrono::milliseconds busy = std::chrono::milliseconds(0)) {
        sqlite3_open(path.c_str(), &conn_);
        sqlite3_busy_timeout(conn_, static_cast<int>(busy.count()));
    }
    SqlReader(SqlReader const&) = delete;
    SqlReader& operator=(SqlReader const&) = delete;
    ~SqlReader() { sqlite3_close(conn_); }

    // Runs `sql`; returns its rows, one per line with values joined by "|" ("NULL" for a null
    // value), or "error: " and SQLite's message.
    std::string operator()(std::string const& sql) {
        std::string out;
        auto const collect = [](void* out, int count, char** values, char**) {
            auto& text = *static_cast<std::string*>(out);
            for (int i = 0; i < count; ++i) {
                text += (i > 0 ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
            }
            text += "\n";
            return 0;
        };
        if (sqlite3_exec(conn_, sql.c_str(), collect, &out, nullptr) != SQLITE_OK) {
            return std::string("error: ") + sqlite3_errmsg(conn_);
        }
        return out;
    }

private:
    sqlite3* conn_ = nullptr;
};

// One query on the file of a running monitor, waiting for its commits.
inline std::string sql_rows(std::filesystem::path const& db, std::string const& query) {
    return SqlReader(db, std::chrono::seconds(5))(query);
}

// Waits, at most `bound`, until `count_query` (a SELECT COUNT(*)) returns at least `count`.
// Returns the last count seen, or -1 while the file or its tables do not exist.
inline long long wait_for_count(std::filesystem::path const& db, std::string const& count_query,
                                long long count, std::chrono::milliseconds bound) {
    for (auto const deadline = std::chrono::steady_clock::now() + bound;;) {
        std::string const rows = std::filesystem::exists(db) ? sql_rows(db, count_query) : "e";
        long long const seen =
            std::isdigit(static_cast<unsigned char>(rows[0])) ? std::stoll(rows) : -1;
        if (seen >= count || std::chrono::steady_clock::now() >= deadline) {
            return seen;
        }
        // Rows are written by another process; there is nothing to wait on but the file.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
