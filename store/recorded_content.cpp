#include "store/recorded_content.hpp"

#include "index/text_edit.hpp"
#include "store/schema.hpp"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace {

using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

Statement prepare(sqlite3* conn, char const* sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(conn, sql, -1, &stmt, nullptr);
    return {stmt, &sqlite3_finalize};
}

std::string_view column_bytes(sqlite3_stmt* stmt, int column) {
    auto const* data = static_cast<char const*>(sqlite3_column_blob(stmt, column));
    return data == nullptr
               ? std::string_view()
               : std::string_view(data,
                                  static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

bool same_file(std::string_view text, std::filesystem::path const& file) {
    return text == file.native() || std::filesystem::path(text) == file;
}

}  // namespace

std::optional<std::string> recorded_content(std::filesystem::path const& database,
                                            std::filesystem::path const& file) {
    sqlite3* raw = nullptr;
    int const rc = sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    Connection const conn(raw, &sqlite3_close);
    if (rc == SQLITE_OK) {
        // The monitor's own connection may be committing; wait for it as its rows do.
        sqlite3_busy_timeout(raw, 5000);
    }
    if (rc != SQLITE_OK || !has_column(raw, "vscode_events", "change_offset") ||
        !has_column(raw, "snapshots", "after_event_id")) {
        return std::nullopt;
    }
    bool const ordered = has_column(raw, "snapshots", "mirror_seq") &&
                         has_column(raw, "vscode_events", "mirror_seq");
    Statement snapshots = prepare(raw, ordered ? "SELECT filepath, content, after_event_id, "
                                                 "mirror_seq FROM snapshots ORDER BY id DESC"
                                               : "SELECT filepath, content, after_event_id, NULL "
                                                 "FROM snapshots ORDER BY id DESC");
    if (!snapshots) {
        return std::nullopt;
    }
    std::optional<std::string> content;
    std::int64_t after = 0;
    bool by_sequence = false;
    while (sqlite3_step(snapshots.get()) == SQLITE_ROW) {
        if (same_file(column_bytes(snapshots.get(), 0), file)) {
            content = std::string(column_bytes(snapshots.get(), 1));
            by_sequence = sqlite3_column_type(snapshots.get(), 3) != SQLITE_NULL;
            after = sqlite3_column_int64(snapshots.get(), by_sequence ? 3 : 2);
            break;
        }
    }
    if (!content) {
        return std::nullopt;
    }
    Statement edits = prepare(
        raw, by_sequence ? "SELECT filepath, change_offset, deleted, inserted, is_saved FROM "
                           "vscode_events WHERE mirror_seq > ? ORDER BY mirror_seq"
                         : "SELECT filepath, change_offset, deleted, inserted, is_saved FROM "
                           "vscode_events WHERE rowid > ? ORDER BY rowid");
    if (!edits) {
        return std::nullopt;
    }
    sqlite3_bind_int64(edits.get(), 1, after);
    while (sqlite3_step(edits.get()) == SQLITE_ROW) {
        sqlite3_stmt* row = edits.get();
        // A change without a position and a save edit nothing.
        if (sqlite3_column_type(row, 1) == SQLITE_NULL || sqlite3_column_int64(row, 1) == -1 ||
            sqlite3_column_int64(row, 4) != 0 || !same_file(column_bytes(row, 0), file)) {
            continue;
        }
        auto const offset = static_cast<std::uint64_t>(sqlite3_column_int64(row, 1));
        // The low 32 bits of the deleted count, read unsigned.
        auto const deleted = static_cast<std::uint32_t>(sqlite3_column_int64(row, 2));
        std::string_view const inserted = column_bytes(row, 3);
        if (deleted != 0) {
            delete_text(*content, offset, deleted);
        }
        if (!inserted.empty()) {
            insert_text(*content, offset, inserted);
        }
    }
    return content;
}
