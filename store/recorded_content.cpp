#include "store/recorded_content.hpp"

#include "index/text_edit.hpp"
#include "store/schema.hpp"

#include <sqlite3.h>

#include <algorithm>
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

}  // namespace

std::optional<std::string> recorded_content(std::filesystem::path const& database,
                                            std::filesystem::path const& file) {
    auto found = recorded_contents(database, {file});
    if (found.empty()) {
        return std::nullopt;
    }
    return std::move(found.begin()->second);
}

std::map<std::filesystem::path, std::string> recorded_contents(
    std::filesystem::path const& database, std::vector<std::filesystem::path> const& files) {
    std::map<std::filesystem::path, std::string> contents;
    if (files.empty()) {
        return contents;
    }
    sqlite3* raw = nullptr;
    int const rc = sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    Connection const conn(raw, &sqlite3_close);
    if (rc == SQLITE_OK) {
        // The monitor's own connection may be committing; wait for it as its rows do.
        sqlite3_busy_timeout(raw, 5000);
    }
    if (rc != SQLITE_OK || !has_column(raw, "vscode_events", "change_offset") ||
        !has_column(raw, "snapshots", "after_event_id")) {
        return contents;
    }
    bool const ordered = has_column(raw, "snapshots", "mirror_seq") &&
                         has_column(raw, "vscode_events", "mirror_seq");
    Statement snapshots = prepare(raw, ordered ? "SELECT filepath, content, after_event_id, "
                                                 "mirror_seq FROM snapshots ORDER BY id DESC"
                                               : "SELECT filepath, content, after_event_id, NULL "
                                                 "FROM snapshots ORDER BY id DESC");
    if (!snapshots) {
        return contents;
    }
    // Paths compare element by element, as the record's paths are matched; each file is rebuilt
    // from its latest snapshot, after which only the changes past `after` apply.
    struct Rebuilt {
        std::filesystem::path const* asked = nullptr;
        std::optional<std::string> content;
        std::int64_t after = 0;
        bool by_sequence = false;
    };
    std::map<std::filesystem::path, Rebuilt> wanted;
    for (auto const& file : files) {
        wanted.try_emplace(file).first->second.asked = &file;
    }
    std::size_t missing = wanted.size();
    while (missing > 0 && sqlite3_step(snapshots.get()) == SQLITE_ROW) {
        auto const found = wanted.find(std::filesystem::path(column_bytes(snapshots.get(), 0)));
        if (found == wanted.end() || found->second.content) {
            continue;
        }
        Rebuilt& file = found->second;
        file.content = std::string(column_bytes(snapshots.get(), 1));
        file.by_sequence = sqlite3_column_type(snapshots.get(), 3) != SQLITE_NULL;
        file.after = sqlite3_column_int64(snapshots.get(), file.by_sequence ? 3 : 2);
        --missing;
    }
    // One pass per order the snapshots name, from the oldest of them.
    for (bool const by_sequence : {true, false}) {
        std::optional<std::int64_t> from;
        for (auto const& [path, file] : wanted) {
            if (file.content && file.by_sequence == by_sequence) {
                from = std::min(from.value_or(file.after), file.after);
            }
        }
        if (!from) {
            continue;
        }
        Statement edits = prepare(
            raw, by_sequence
                     ? "SELECT filepath, change_offset, deleted, inserted, is_saved, mirror_seq "
                       "FROM vscode_events WHERE mirror_seq > ? ORDER BY mirror_seq"
                     : "SELECT filepath, change_offset, deleted, inserted, is_saved, rowid FROM "
                       "vscode_events WHERE rowid > ? ORDER BY rowid");
        if (!edits) {
            return {};
        }
        sqlite3_bind_int64(edits.get(), 1, *from);
        while (sqlite3_step(edits.get()) == SQLITE_ROW) {
            sqlite3_stmt* row = edits.get();
            // A change without a position and a save edit nothing.
            if (sqlite3_column_type(row, 1) == SQLITE_NULL || sqlite3_column_int64(row, 1) == -1 ||
                sqlite3_column_int64(row, 4) != 0) {
                continue;
            }
            auto const found = wanted.find(std::filesystem::path(column_bytes(row, 0)));
            if (found == wanted.end() || !found->second.content ||
                found->second.by_sequence != by_sequence ||
                sqlite3_column_int64(row, 5) <= found->second.after) {
                continue;
            }
            std::string& content = *found->second.content;
            auto const offset = static_cast<std::uint64_t>(sqlite3_column_int64(row, 1));
            // The low 32 bits of the deleted count, read unsigned.
            auto const deleted = static_cast<std::uint32_t>(sqlite3_column_int64(row, 2));
            std::string_view const inserted = column_bytes(row, 3);
            if (deleted != 0) {
                delete_text(content, offset, deleted);
            }
            if (!inserted.empty()) {
                insert_text(content, offset, inserted);
            }
        }
    }
    for (auto& [path, file] : wanted) {
        if (file.content) {
            contents.emplace(*file.asked, std::move(*file.content));
        }
    }
    return contents;
}
