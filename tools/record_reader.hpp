#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

// A database that cannot be read back; the message says why, for the reviewer.
class RecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A read-only connection to a project database holding one read transaction, so that every query
// sees the same state while the monitor may go on writing. Throws RecordError when the file is
// missing or cannot be opened.
class RecordReader {
public:
    explicit RecordReader(std::filesystem::path const& database);
    RecordReader(RecordReader const&) = delete;
    RecordReader& operator=(RecordReader const&) = delete;
    ~RecordReader();

    sqlite3* conn() const { return conn_; }
    std::filesystem::path const& path() const { return path_; }

    // Throws RecordError: "<what> the database <path>: <SQLite's message>".
    [[noreturn]] void fail(char const* what) const;

private:
    std::filesystem::path path_;
    sqlite3* conn_ = nullptr;
};

// One prepared query on a RecordReader, finalized on destruction.
class Statement {
public:
    Statement(RecordReader const& reader, char const* sql);
    Statement(Statement const&) = delete;
    Statement& operator=(Statement const&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    sqlite3_stmt* get() const { return stmt_; }

    // True while there is a row.
    bool next();

    // A column's bytes, whole even across NUL bytes; empty for NULL.
    std::string bytes(int column) const { return std::string(view(column)); }
    // A view of a column's bytes, valid until the next step.
    std::string_view view(int column) const {
        auto const* data = static_cast<char const*>(sqlite3_column_blob(stmt_, column));
        return data == nullptr
                   ? std::string_view()
                   : std::string_view(
                         data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    RecordReader const& reader_;
    sqlite3_stmt* stmt_ = nullptr;
};
