#include "store/event_db.hpp"

#include "sql_reader.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace std::chrono_literals;

namespace {

Timestamp const SAMPLE_TIME{1'700'000'000'123'456'000ns};  // 2023-11-14 22:13:20.123456000
std::uint64_t const MAX64 = std::numeric_limits<std::uint64_t>::max();

FileEvent file_event() {
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.timestamp = SAMPLE_TIME;
    event.filepath = "/p/a.c";
    event.fid = {1234, 56};
    event.action = FileActions::Modified;
    event.directory = "/p";
    event.old_filepath = "old.c";
    event.diff = "+ b";
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    event.incident_type = Incident::Types::FAST_INSERTION;
    return event;
}

VSCodeEvent vscode_event() {
    VSCodeEvent event;
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.timestamp = SAMPLE_TIME;
    event.filepath = "/p/a.c";
    event.fid = {1234, 56};
    event.change_type = "change";
    event.inserted = "int x;";
    event.deleted = 2;
    return event;
}

// Runs `action` and returns what it printed.
template <typename F>
std::string printed(F&& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

class EventDBTest : public testing::Test {
protected:
    // Each query on its own reviewer connection, so that a fresh file stays untouched until then.
    std::string sql(std::string const& query) { return SqlReader(path_)(query); }

    EventDB& open() {
        log_ = printed([&] { db_ = std::make_unique<EventDB>(path_.string()); });
        return *db_;
    }

    TempDir dir_;
    std::filesystem::path path_ = dir_ / "wardlet.sqlite3";
    std::unique_ptr<EventDB> db_;
    std::string log_;
};

}  // namespace

TEST_F(EventDBTest, FileEventsBecomeRowsWithConvertedValuesAndNoNulls) {
    auto& db = open();
    EXPECT_EQ(log_, "[EventDB] initialized successfully dbpath=" + path_.string() + "\n");
    FileEvent unset;  // as the watcher delivers it, before any handler
    unset.type = BaseEvent::Types::FILE_EVENT;
    FileEvent edge = file_event();
    edge.fid = {MAX64, MAX64};
    edge.action = 5;
    edge.diff = std::string("x\0y", 3);
    std::string const out = printed([&] {
        EXPECT_TRUE(db.store(file_event()));
        EXPECT_TRUE(db.store(unset));
        EXPECT_TRUE(db.store(edge));
    });
    EXPECT_TRUE(out.starts_with(
        "[EventDB] registering file event... Modified @ 2023-11-14 22:13:20.123456000\n"
        "[EventDB] registering file event... Unknown_FileAction @ 1970-01-01 "
        "00:00:00.000000000\n"));
    EXPECT_EQ(sql("SELECT type, filepath, fid, action, old_filepath, directory, hex(diff), "
                  "handler_type, incident_type, hash, typeof(diff) FROM file_events"),
              "FILE EVENT|/p/a.c|1234;56|Modified|old.c|/p|2B2062|TRACKEDFILE|FAST_INSERTION|"
              "<hash>|text\n"
              "FILE EVENT||0;0|Unknown_FileAction||||||<hash>|text\n"
              "FILE EVENT|/p/a.c|18446744073709551615;18446744073709551615|Unknown_FileAction|"
              "old.c|/p|780079|TRACKEDFILE|FAST_INSERTION|<hash>|text\n");
}

TEST_F(EventDBTest, EditorEventsBecomeRowsWithEachFlagInItsOwnIntegerColumn) {
    auto& db = open();
    std::string out;
    for (int which = 0; which < 4; ++which) {
        VSCodeEvent event = vscode_event();
        event.is_undo_redo = which == 0;
        event.is_copy_paste = which == 1;
        event.internal_copy = which == 2;
        event.is_saved = which == 3;
        out += printed([&] { EXPECT_TRUE(db.store(event)); });
    }
    EXPECT_TRUE(
        out.starts_with("[EventDB] registering vscode event... /p/a.c (fid=1234;56) "
                        "inserted 4 characters @ 2023-11-14 22:13:20.123456000\n"));
    EXPECT_EQ(sql("SELECT * FROM vscode_events LIMIT 1"),
              "1|2023-11-14 22:13:20.123456000|change|/p/a.c|1234;56|int x;|2|0|1|0|0||0|<hash>|" +
                  sql("SELECT recorded_at FROM vscode_events LIMIT 1"));
    EXPECT_EQ(sql("SELECT is_undo_redo, is_copy_paste, internal_copy, is_saved, typeof(is_saved), "
                  "typeof(copy_buf) FROM vscode_events"),
              "1|0|0|0|integer|text\n0|1|0|0|integer|text\n0|0|1|0|integer|text\n"
              "0|0|0|1|integer|text\n");
}

TEST_F(EventDBTest, DeletedKeepsLowBitsNetCountIsExactNulBytesSurvive) {
    auto& db = open();
    struct Case {
        std::string inserted;
        std::uint64_t deleted;
        char const* net;
    };
    Case const cases[] = {{"", 3, "-3"},
                          {"h\xc3\xa9llo", 1, "5"},  // bytes, not characters
                          {std::string("a\0b", 3), 0x1'8000'0001ull, "-6442450942"},
                          {"ab", MAX64, "-18446744073709551613"}};
    for (auto const& c : cases) {
        VSCodeEvent event = vscode_event();
        event.inserted = c.inserted;
        event.deleted = c.deleted;
        std::string const out = printed([&] { db.store(event); });
        EXPECT_NE(out.find(std::string(") inserted ") + c.net + " characters @"), out.npos) << out;
    }
    EXPECT_EQ(sql("SELECT deleted, hex(inserted) FROM vscode_events"),
              "3|\n1|68C3A96C6C6F\n-2147483647|610062\n-1|6162\n");
}

TEST_F(EventDBTest, FreshFileRowsGetIdsAndTheirUtcRecordingTime) {
    auto& db = open();
    auto const utc_ms = [](auto tp) { return timestamp2str(tp).substr(0, 23); };
    auto const before = utc_ms(std::chrono::system_clock::now() - 1s);
    printed([&] {
        db.store(file_event());
        db.store(file_event());
        db.store(vscode_event());
    });
    auto const after = utc_ms(std::chrono::system_clock::now() + 1s);
    std::string const in_range =
        "length(recorded_at) = 23 AND recorded_at BETWEEN '" + before + "' AND '" + after + "'";
    EXPECT_EQ(sql("SELECT id FROM file_events WHERE " + in_range +
                  " UNION ALL SELECT id FROM "
                  "vscode_events WHERE " +
                  in_range),
              "1\n2\n1\n");
}

TEST_F(EventDBTest, ExistingCompatibleTablesAreLeftAloneAndReceiveRows) {
    sql("CREATE TABLE file_events (hash, type, filepath, fid, action, old_filepath, directory, "
        "diff, handler_type, incident_type, seen DEFAULT 0);"
        "CREATE TABLE vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
        "is_undo_redo, is_copy_paste, internal_copy, copy_buf, is_saved, hash, note DEFAULT 'n')");
    std::string const schema = sql("SELECT sql FROM sqlite_master");
    auto& db = open();
    EXPECT_FALSE(db.records_offsets());
    std::string const out = printed([&] {
        db.store(file_event());
        db.store(vscode_event());
        EXPECT_FALSE(db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, "x"));
    });
    EXPECT_NE(out.find("\n[EventDB] snapshot of /p/a.c (start) not written\n"), out.npos) << out;
    EXPECT_EQ(sql("SELECT sql FROM sqlite_master"), schema);
    EXPECT_EQ(sql("SELECT hash, action, seen FROM file_events"), "<hash>|Modified|0\n");
    EXPECT_EQ(sql("SELECT inserted, note FROM vscode_events"), "int x;|n\n");
}

TEST_F(EventDBTest, FailedRowsAreLoggedAndTheNextStoreGoesThrough) {
    sql("CREATE TABLE vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
        "is_undo_redo, is_copy_paste, internal_copy, is_saved, hash);"
        "CREATE TABLE file_events (type, filepath CHECK (filepath <> '/no'), fid, action, "
        "old_filepath, directory, diff, handler_type, incident_type, hash)");
    auto& db = open();
    FileEvent refused = file_event();
    refused.filepath = "/no";
    std::string const out = printed([&] {
        EXPECT_FALSE(db.store(vscode_event()));
        EXPECT_FALSE(db.store(refused));
        EXPECT_TRUE(db.store(file_event()));
    });
    EXPECT_NE(out.find("\nprepare failed: table vscode_events has no column named copy_buf\n"),
              out.npos);
    EXPECT_NE(out.find("\nstep failed: CHECK constraint failed: filepath <> '/no'\n"), out.npos);
    // Every store prepares afresh: once the table is repaired from outside, rows arrive again.
    sql("ALTER TABLE vscode_events ADD COLUMN copy_buf");
    printed([&] { EXPECT_TRUE(db.store(vscode_event())); });
    EXPECT_EQ(sql("SELECT count(*) FROM vscode_events UNION ALL SELECT filepath FROM file_events"),
              "1\n/p/a.c\n");
}

TEST_F(EventDBTest, TablesChangedFromOutsideBetweenRowsFailAndRecoverAsForAFreshStatement) {
    auto& db = open();
    std::string const missing = "prepare failed: no such table: vscode_events\n";
    std::string const no_copy_buf =
        "prepare failed: table vscode_events has no column named copy_buf\n";
    std::string const narrow =
        "CREATE TABLE vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
        "is_undo_redo, is_copy_paste, internal_copy, is_saved, hash, change_offset);";
    struct Step {
        std::string change;
        std::string failure;  // what follows the "registering" line; empty when stored
    };
    Step const steps[] = {{"", ""},
                          {"DROP TABLE vscode_events", missing},
                          {"", missing},
                          {narrow, no_copy_buf},
                          {"ALTER TABLE vscode_events ADD COLUMN copy_buf", ""},
                          {"DROP TABLE vscode_events;" + narrow, no_copy_buf},
                          {"ALTER TABLE vscode_events ADD COLUMN copy_buf", ""},
                          {"", ""}};
    for (Step const& step : steps) {
        if (!step.change.empty()) {
            sql(step.change);
        }
        bool stored = false;
        std::string const out = printed([&] { stored = db.store(vscode_event()); });
        EXPECT_EQ(stored, step.failure.empty()) << step.change;
        EXPECT_EQ(out.substr(out.find('\n') + 1), step.failure) << step.change;
    }
    EXPECT_EQ(sql("SELECT count(*) FROM vscode_events"), "2\n");
}

TEST_F(EventDBTest, InsertBindsTextsIntegersAndFlagsByPosition) {
    auto& db = open();
    sql("CREATE TABLE t (a, b, c, d, e, f, g)");
    char const* no_text = nullptr;
    printed([&] {
        EXPECT_TRUE(db.insert("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?)", "lit",
                              std::string("x\0y", 3), std::string_view(), no_text, -7, true,
                              false));
    });
    EXPECT_EQ(sql("SELECT a, hex(b), typeof(c), typeof(d), e, typeof(e), f, g FROM t"),
              "lit|780079|text|text|-7|integer|1|0\n");
}

TEST_F(EventDBTest, OffsetsAndSnapshotsPlaceFileContentInTheStreamOfEdits) {
    auto& db = open();
    EXPECT_TRUE(db.records_offsets());
    db.enable_group_commit(1h);  // the rows below stay in one open transaction
    VSCodeEvent positioned = vscode_event();
    positioned.offset = 42;
    VSCodeEvent unpositioned = vscode_event();
    unpositioned.offset = MAX64;
    printed([&] {
        EXPECT_TRUE(
            db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, std::string("a\0b", 3)));
        db.store(positioned);
        db.store(unpositioned);
        EXPECT_TRUE(db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::FAST_INSERTION, ""));
        db.commit_pending();
    });
    EXPECT_EQ(sql("SELECT change_offset FROM vscode_events"), "42\n-1\n");
    EXPECT_EQ(sql("SELECT id, filepath, fid, reason, hex(content), typeof(content), "
                  "after_event_id, length(recorded_at) FROM snapshots"),
              "1|/p/a.c|1;2|start|610062|blob|0|23\n"
              "2|/p/a.c|1;2|fast_insertion||blob|2|23\n");
}
