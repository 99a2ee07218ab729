#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>

// A second connection to a database file, the way a reviewer reads it.
class SqlReader {
public:
    explicit SqlReader(std::filesystem::path const& path) { sqlite3_open(path.c_str(), &conn_); }
    SqlReader(SqlReader const&) = delete;
    SqlReader& operator=(SqlReader const&) = delete;
    ~SqlReader() { sqlite3_close(conn_); }

    // Runs `sql`; returns its rows, one per line with values joined by "|", or SQLite's error.
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
