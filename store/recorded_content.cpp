#include "store/recorded_content.hpp"

#include "index/text_edit.hpp"
#include "store/schema.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace {

using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

Statement prepare(sqlite3* conn, std::string const& sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(conn, sql.c_str(), -1, &stmt, nullptr);
    return {stmt, &sqlite3_finalize};
}

std::string_view column_bytes(sqlite3_stmt* stmt, int column) {
    auto const* data = static_cast<char const*>(sqlite3_column_blob(stmt, column));
    return data == nullptr
               ? std::string_view()
               : std::string_view(data,
                                  static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

// The monitor matches editor paths to mirrored files by path equality (element by element), so
// "/p//a.c" reaches the mirror of "/p/a.c"; texts that are equal need no path built.
bool same_file(std::string_view text, std::filesystem::path const& file) {
    return text == file.native() || std::filesystem::path(text) == file;
}

// The texts under which the editor rows name `file`, found by walking the distinct paths of the
// index on the rows' path (a few steps per distinct path, whatever the number of rows). No value
// without that index: every row is then read and compared.
std::optional<std::vector<std::string>> stored_names(sqlite3* conn,
                                                     std::filesystem::path const& file) {
    Statement indexed =
        prepare(conn, std::string("SELECT 1 FROM pragma_index_list('vscode_events') "
                                  "WHERE name = '") +
                          editor_rows_by_file_index() + "'");
    if (!indexed || sqlite3_step(indexed.get()) != SQLITE_ROW) {
        return std::nullopt;
    }
    Statement names =
        prepare(conn,
                "WITH RECURSIVE names(name) AS (SELECT MIN(filepath) FROM vscode_events UNION ALL "
                "SELECT (SELECT MIN(filepath) FROM vscode_events WHERE filepath > name) FROM names "
                "WHERE name IS NOT NULL) SELECT name FROM names WHERE name IS NOT NULL");
    if (!names) {
        return std::nullopt;
    }
    std::vector<std::string> found;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(names.get())) == SQLITE_ROW) {
        std::string_view const name = column_bytes(names.get(), 0);
        if (same_file(name, file)) {
            found.emplace_back(name);
        }
    }
    if (rc != SQLITE_DONE) {
        return std::nullopt;
    }
    return found;
}

// A read-only connection to a record that keeps change offsets and snapshot places, waiting for
// the monitor's own commits; null otherwise.
Connection open_replayable(std::filesystem::path const& database) {
    sqlite3* raw = nullptr;
    int const rc = sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    Connection conn(raw, &sqlite3_close);
    if (rc != SQLITE_OK) {
        return Connection(nullptr, &sqlite3_close);
    }
    // The monitor's own connection may be committing; wait for it as its rows do.
    sqlite3_busy_timeout(raw, 5000);
    if (!has_column(raw, "vscode_events", "change_offset") ||
        !has_column(raw, "snapshots", "after_event_id")) {
        return Connection(nullptr, &sqlite3_close);
    }
    return conn;
}

// Every snapshot, latest first: path, content, after_event_id and mirror_seq (NULL when the
// record keeps no mirror order).
Statement snapshots_latest_first(sqlite3* conn) {
    bool const ordered = has_column(conn, "snapshots", "mirror_seq") &&
                         has_column(conn, "vscode_events", "mirror_seq");
    return prepare(conn, ordered ? "SELECT filepath, content, after_event_id, mirror_seq FROM "
                                   "snapshots ORDER BY id DESC"
                                 : "SELECT filepath, content, after_event_id, NULL FROM "
                                   "snapshots ORDER BY id DESC");
}

// One stored change applied as the mirror applies it: the deletion, then the insertion.
void apply_edit(std::string& content, std::uint64_t offset, std::uint32_t deleted,
                std::string_view inserted) {
    if (deleted != 0) {
        delete_text(content, offset, deleted);
    }
    if (!inserted.empty()) {
        insert_text(content, offset, inserted);
    }
}

}  // namespace

std::optional<std::string> for_each_edit_after(
    sqlite3* conn, std::filesystem::path const& file, MirrorPlace start,
    std::optional<std::string> const& until,
    std::function<void(RecordedEdit const&)> const& apply) {
    std::optional<std::vector<std::string>> const names = stored_names(conn, file);
    if (names && names->empty()) {
        return std::nullopt;  // no row names the file
    }
    std::string sql =
        "SELECT filepath, change_offset, deleted, inserted, is_saved FROM vscode_events WHERE ";
    if (names) {
        sql += "filepath IN (";
        for (std::size_t i = 0; i < names->size(); ++i) {
            sql += i == 0 ? "?" : ", ?";
        }
        sql += ") AND ";
    }
    // Timestamps are fixed-width texts, so their text order is their time order. rowid is the
    // `id` that after_event_id counts.
    sql += start.mirror_seq ? "mirror_seq > ?1000 AND (?1001 IS NULL OR timestamp <= ?1001) "
                              "ORDER BY mirror_seq"
                            : "rowid > ?1000 AND (?1001 IS NULL OR timestamp <= ?1001) "
                              "ORDER BY rowid";
    Statement rows = prepare(conn, sql);
    if (!rows) {
        return std::string(sqlite3_errmsg(conn));
    }
    sqlite3_stmt* row = rows.get();
    if (names) {
        for (std::size_t i = 0; i < names->size(); ++i) {
            sqlite3_bind_text(row, static_cast<int>(i + 1), (*names)[i].data(),
                              static_cast<int>((*names)[i].size()), SQLITE_STATIC);
        }
    }
    sqlite3_bind_int64(row, 1000, start.mirror_seq.value_or(start.after_event_id));
    if (until) {
        sqlite3_bind_text(row, 1001, until->c_str(), static_cast<int>(until->size()),
                          SQLITE_STATIC);
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(row)) == SQLITE_ROW) {
        // A change without a position (-1, or no offset at all) and a save edit nothing.
        if (sqlite3_column_type(row, 1) == SQLITE_NULL || sqlite3_column_int64(row, 1) == -1 ||
            sqlite3_column_int64(row, 4) != 0 || !same_file(column_bytes(row, 0), file)) {
            continue;
        }
        apply({static_cast<std::uint64_t>(sqlite3_column_int64(row, 1)),
               static_cast<std::uint32_t>(sqlite3_column_int64(row, 2)), column_bytes(row, 3)});
    }
    if (rc != SQLITE_DONE) {
        return std::string(sqlite3_errmsg(conn));
    }
    return std::nullopt;
}

std::optional<std::string> recorded_content(std::filesystem::path const& database,
                                            std::filesystem::path const& file) {
    Connection const conn = open_replayable(database);
    if (!conn) {
        return std::nullopt;
    }
    sqlite3* const raw = conn.get();
    Statement snapshots = snapshots_latest_first(raw);
    if (!snapshots) {
        return std::nullopt;
    }
    std::optional<std::string> content;
    MirrorPlace start;
    while (sqlite3_step(snapshots.get()) == SQLITE_ROW) {
        if (same_file(column_bytes(snapshots.get(), 0), file)) {
            content = std::string(column_bytes(snapshots.get(), 1));
            start.after_event_id = sqlite3_column_int64(snapshots.get(), 2);
            if (sqlite3_column_type(snapshots.get(), 3) != SQLITE_NULL) {
                start.mirror_seq = sqlite3_column_int64(snapshots.get(), 3);
            }
            break;
        }
    }
    if (!content) {
        return std::nullopt;
    }
    auto const failed =
        for_each_edit_after(raw, file, start, std::nullopt, [&](RecordedEdit const& edit) {
            apply_edit(*content, edit.offset, edit.deleted, edit.inserted);
        });
    if (failed) {
        return std::nullopt;
    }
    return content;
}

std::map<std::filesystem::path, std::string> recorded_contents(
    std::filesystem::path const& database, std::vector<std::filesystem::path> const& files) {
    std::map<std::filesystem::path, std::string> contents;
    if (files.empty()) {
        return contents;
    }
    Connection const conn = open_replayable(database);
    if (!conn) {
        return contents;
    }
    sqlite3* const raw = conn.get();
    Statement snapshots = snapshots_latest_first(raw);
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
            apply_edit(content, offset, deleted, column_bytes(row, 3));
        }
    }
    for (auto& [path, file] : wanted) {
        if (file.content) {
            contents.emplace(*file.asked, std::move(*file.content));
        }
    }
    return contents;
}
