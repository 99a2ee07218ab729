#include "tools/record_reader.hpp"

#include <fmt/format.h>

#include <system_error>

namespace {

// The monitor writes the database while a reviewer reads it.
constexpr int BUSY_TIMEOUT_MS = 5000;

}  // namespace

RecordReader::RecordReader(std::filesystem::path const& database) : path_(database) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(database, error)) {
        throw RecordError(fmt::format("no database at {}", database.native()));
    }
    if (sqlite3_open_v2(database.c_str(), &conn_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        fail("cannot open");
    }
    sqlite3_busy_timeout(conn_, BUSY_TIMEOUT_MS);
    if (sqlite3_exec(conn_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("cannot read");
    }
}

RecordReader::~RecordReader() {
    sqlite3_exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(conn_);
}

void RecordReader::fail(char const* what) const {
    throw RecordError(fmt::format("{} the database {}: {}", what, path_.native(),
                                  conn_ != nullptr ? sqlite3_errmsg(conn_) : "out of memory"));
}

Statement::Statement(RecordReader const& reader, char const* sql) : reader_(reader) {
    if (sqlite3_prepare_v2(reader.conn(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        reader.fail("cannot query");
    }
}

bool Statement::next() {
    int const rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        reader_.fail("cannot read");
    }
    return rc == SQLITE_ROW;
}
