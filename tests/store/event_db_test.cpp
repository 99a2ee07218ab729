#include "store/event_db.hpp"
#include "store/schema.hpp"
#include "support/captured_log.hpp"

#include "support/sql_rows.hpp"
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
    capture_log();
    action();
    return captured_log();
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

TEST_F(EventDBTest, FileEventsBecomeRowsWithConvertedValuesNoNullsAndTheirUtcRecordingTime) {
    auto& db = open();
    EXPECT_EQ(log_, "[EventDB] initialized successfully dbpath=" + path_.string() + "\n");
    FileEvent unset;  // as the watcher delivers it, before any handler
    unset.type = BaseEvent::Types::FILE_EVENT;
    FileEvent edge = file_event();
    edge.fid = {MAX64, MAX64};
    edge.action = 5;
    edge.diff = std::string("x\0y", 3);
    auto const utc_ms = [](auto tp) { return timestamp2str(tp).substr(0, 23); };
    auto const before = utc_ms(std::chrono::system_clock::now() - 1s);
    std::string const out = printed([&] {
        EXPECT_TRUE(db.store(file_event()));
        EXPECT_TRUE(db.store(unset));
        EXPECT_TRUE(db.store(edge));
    });
    auto const after = utc_ms(std::chrono::system_clock::now() + 1s);
    EXPECT_TRUE(out.starts_with(
        "[EventDB] registering file event... Modified @ 2023-11-14 22:13:20.123456000\n"
        "[EventDB] registering file event... Unknown_FileAction @ 1970-01-01 "
        "00:00:00.000000000\n"));
    EXPECT_EQ(sql("SELECT id, type, filepath, fid, action, old_filepath, directory, hex(diff), "
                  "handler_type, incident_type, hash, typeof(diff), length(recorded_at) = 23 AND "
                  "recorded_at BETWEEN '" +
                  before + "' AND '" + after + "' FROM file_events"),
              "1|FILE EVENT|/p/a.c|1234;56|Modified|old.c|/p|2B2062|TRACKEDFILE|FAST_INSERTION|"
              "<hash>|text|1\n"
              "2|FILE EVENT||0;0|Unknown_FileAction||||||<hash>|text|1\n"
              "3|FILE EVENT|/p/a.c|18446744073709551615;18446744073709551615|Unknown_FileAction|"
              "old.c|/p|780079|TRACKEDFILE|FAST_INSERTION|<hash>|text|1\n");
}

// Each flag in its own integer column; the deleted count keeps its low bits, the logged net count
// is exact, bytes are counted rather than characters and NUL bytes survive. Offsets and snapshots
// place file content in the stream of edits, also within the open transaction of a group commit.
TEST_F(EventDBTest, EditorEventsAndSnapshotsBecomeRowsWithTheirFlagsCountsBytesAndPlaces) {
    auto& db = open();
    EXPECT_TRUE(db.records_offsets());
    db.enable_group_commit(1h);
    struct Case {
        std::string inserted;
        std::uint64_t deleted, offset;
        char const* net;
    };
    Case const cases[] = {{"int x;", 2, 0, "4"},
                          {"h\xc3\xa9llo", 1, 42, "5"},
                          {std::string("a\0b", 3), 0x1'8000'0001ull, MAX64, "-6442450942"},
                          {"ab", MAX64, 0, "-18446744073709551613"}};
    // The writer logs each row as it writes it, in the order the rows were stored.
    std::string const out = printed([&] {
        EXPECT_TRUE(
            db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, std::string("a\0b", 3)));
        for (int which = 0; which < 4; ++which) {
            VSCodeEvent event = vscode_event();
            event.inserted = cases[which].inserted;
            event.deleted = cases[which].deleted;
            event.offset = cases[which].offset;
            event.is_undo_redo = which == 0;
            event.is_copy_paste = which == 1;
            event.internal_copy = which == 2;
            event.is_saved = which == 3;
            EXPECT_TRUE(db.store(event));
        }
        EXPECT_TRUE(db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::FAST_INSERTION, ""));
        db.commit_pending();
    });
    std::string expected = "[EventDB] registering snapshot... /p/a.c (fid=1;2) start of 3 bytes\n";
    for (Case const& c : cases) {
        expected += "[EventDB] registering vscode event... /p/a.c (fid=1234;56) inserted " +
                    std::string(c.net) + " characters @ 2023-11-14 22:13:20.123456000\n";
    }
    expected += "[EventDB] registering snapshot... /p/a.c (fid=1;2) fast_insertion of 0 bytes\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(sql("SELECT * FROM vscode_events LIMIT 1"),
              "1|2023-11-14 22:13:20.123456000|change|/p/a.c|1234;56|int x;|2|0|1|0|0||0|<hash>|" +
                  sql("SELECT recorded_at || '|NULL|NULL|NULL|VSCODE' FROM vscode_events LIMIT 1"));
    EXPECT_EQ(sql("SELECT deleted, hex(inserted), change_offset, is_undo_redo, is_copy_paste, "
                  "internal_copy, is_saved, typeof(is_saved), typeof(copy_buf) FROM vscode_events"),
              "2|696E7420783B|0|1|0|0|0|integer|text\n1|68C3A96C6C6F|42|0|1|0|0|integer|text\n"
              "-2147483647|610062|-1|0|0|1|0|integer|text\n-1|6162|0|0|0|0|1|integer|text\n");
    EXPECT_EQ(sql("SELECT id, filepath, fid, reason, hex(content), typeof(content), "
                  "after_event_id, length(recorded_at) FROM snapshots"),
              "1|/p/a.c|1;2|start|610062|blob|0|23\n"
              "2|/p/a.c|1;2|fast_insertion||blob|4|23\n");
}

TEST_F(EventDBTest, ExistingCompatibleTablesAreLeftAloneAndReceiveRows) {
    sql("CREATE TABLE file_events (hash, type, filepath, fid, action, old_filepath, directory, "
        "diff, handler_type, incident_type, seen DEFAULT 0);"
        "CREATE TABLE vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
        "is_undo_redo, is_copy_paste, internal_copy, copy_buf, is_saved, hash, note DEFAULT 'n')");
    std::string const schema = sql("SELECT sql FROM sqlite_master");
    EXPECT_FALSE(open().records_offsets());
    std::string const out = printed([&] {
        db_->store(file_event());
        db_->store(vscode_event());
        EXPECT_TRUE(db_->store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, "x", 7));
    });
    EXPECT_EQ(out.find("failed"), out.npos) << out;
    // The two tables stay as they are; only the snapshots table is added.
    EXPECT_EQ(sql("SELECT sql FROM sqlite_master"),
              schema + sql("SELECT sql FROM sqlite_master WHERE name = 'snapshots'"));
    EXPECT_EQ(sql("SELECT reason, content, after_event_id FROM snapshots"), "start|x|1\n");
    EXPECT_EQ(sql("SELECT hash, action, seen FROM file_events"), "<hash>|Modified|0\n");
    EXPECT_EQ(sql("SELECT inserted, note FROM vscode_events"), "int x;|n\n");
}

// Rows name the editor that sent them; the monitor's tables from before editors were told apart
// gain the column, and their rows keep no editor.
TEST_F(EventDBTest, EditorRowsNameTheirEditorAndEarlierTablesGainTheColumn) {
    sql("CREATE TABLE vscode_events (id INTEGER PRIMARY KEY, timestamp, type, filepath, fid, "
        "inserted, deleted, change_offset, is_undo_redo, is_copy_paste, internal_copy, copy_buf, "
        "is_saved, hash, recorded_at);"
        "INSERT INTO vscode_events (inserted, change_offset) VALUES ('old', 0)");
    auto& db = open();
    EXPECT_TRUE(db.records_offsets());
    printed([&] {
        for (std::string const* editor : {&TextEditor::VIM, &TextEditor::VSCODE}) {
            VSCodeEvent event = vscode_event();
            event.editor = *editor;
            EXPECT_TRUE(db.store(event));
        }
        db.commit_pending();
    });
    EXPECT_EQ(sql("SELECT inserted, typeof(editor), editor FROM vscode_events ORDER BY id"),
              "old|null|NULL\nint x;|text|VIM\nint x;|text|VSCODE\n");
}

// A failed row is logged and lost; every store prepares afresh when the table changed, so that
// once it is repaired from outside rows arrive again.
TEST_F(EventDBTest, TablesChangedFromOutsideBetweenRowsFailAndRecoverAsForAFreshStatement) {
    auto& db = open();
    std::string const missing = "prepare failed: no such table: vscode_events\n";
    std::string const no_copy_buf =
        "prepare failed: table vscode_events has no column named copy_buf\n";
    std::string const narrow =
        "CREATE TABLE vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
        "is_undo_redo, is_copy_paste, internal_copy, is_saved, hash, change_offset, copy_source, "
        "copy_source_offset, mirror_seq, editor);";
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

// A database of an earlier monitor gains the columns added since, its rows keeping NULL there;
// a reopened database continues the mirror's order after the highest place stored.
TEST_F(EventDBTest, EarlierMonitorTablesGainTheAddedColumnsAndTheMirrorOrderContinues) {
    sql(schema_sql());
    sql("ALTER TABLE vscode_events DROP COLUMN recorded_at");  // any earlier form
    sql("INSERT INTO vscode_events (inserted, change_offset) VALUES ('old', 0)");
    sql(snapshots_sql());
    auto& db = open();
    EXPECT_EQ(db.last_mirror_seq(), 0u);
    VSCodeEvent event = vscode_event();
    event.internal_copy = true;
    event.copy_source = "/p/util.c";
    event.copy_source_offset = 12;
    event.mirror_seq = 41;
    printed([&] {
        EXPECT_TRUE(db.store(event));
        EXPECT_TRUE(db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, "x", 42));
        db.commit_pending();
    });
    EXPECT_EQ(sql("SELECT inserted, copy_source, copy_source_offset, mirror_seq FROM "
                  "vscode_events"),
              "old|NULL|NULL|NULL\nint x;|/p/util.c|12|41\n");
    EXPECT_EQ(sql("SELECT mirror_seq FROM snapshots"), "42\n");
    db_.reset();
    EXPECT_EQ(open().last_mirror_seq(), 42u);
}
