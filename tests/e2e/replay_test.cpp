#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

namespace {

ProcessResult report(MonitorHarness const& monitor, std::filesystem::path const& file,
                     std::vector<std::string> more = {}) {
    more.insert(more.begin(), {REPORT_BIN, monitor.project().native(), "--replay", file});
    return run_process(more);
}

}  // namespace

TEST(Replay, AnEditorSessionIsRebuiltAtItsEndInItsMiddleAndAfterAFastInsertion) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("main.c", "int a;\n");
    monitor.start();
    // The editor's document after each change, which the extension reports in UTF-8 bytes.
    std::string doc = "int a;\n";
    std::vector<std::string> states;
    std::string lines;
    auto const change = [&](Change change) {
        change.file = file;
        if (!change.saved) {
            doc.replace(change.offset, change.deleted, change.inserted);
        }
        states.push_back(doc);
        lines += change.line();
    };
    for (char typed : std::string("int bx")) {
        change({.inserted = std::string(1, typed), .offset = std::int64_t(doc.size())});
    }
    change({.deleted = 1, .offset = std::int64_t(doc.size()) - 1});  // backspace
    std::string const block = "/* pasted\n   block */\n";
    change({.inserted = ";\n" + block, .offset = 12, .copy_paste = true});
    change({.deleted = block.size(), .offset = 14, .undo_redo = true});  // undo of the block
    change({.inserted = "alpha", .deleted = 1, .offset = 4});            // replacement of "a"
    change({.inserted = "// d\xc3\xa9j\xc3\xa0 vu \xe2\x9c\x93\n", .offset = 0});
    change({.type = "save", .offset = -1, .saved = true});
    monitor.send(lines);
    auto const count = static_cast<long long>(states.size());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", count), count);
    write_file(file, doc);  // the editor's save
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Modified'", 1), 1);
    ASSERT_EQ(monitor.rows("SELECT incident_type FROM file_events WHERE action = 'Modified'"),
              std::vector<SqlRow>{{"NONE"}});

    auto const replayed = report(monitor, file);
    EXPECT_EQ(replayed.status, 0) << replayed.output;
    EXPECT_EQ(replayed.output, read_file(file));
    // In the middle, by the text a row carries and by the same moment in ISO 8601.
    auto const times = monitor.rows("SELECT timestamp FROM vscode_events ORDER BY id");
    for (std::size_t row : {6u, 9u}) {
        std::string iso = times[row][0];
        iso[10] = 'T';
        EXPECT_EQ(report(monitor, file, {"--at", times[row][0]}).output, states[row]) << row;
        EXPECT_EQ(report(monitor, file, {"--at", iso + "Z"}).output, states[row]) << row;
    }

    std::ofstream(file, std::ios::app) << "int appended;\n";  // another program
    ASSERT_EQ(monitor.wait_for(
                  "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION'", 1),
              1);
    EXPECT_EQ(report(monitor, file).output, doc + "int appended;\n");
    EXPECT_EQ(report(monitor, file, {"--at", "2000-01-01T00:00:00Z"}).status, 1);
}

TEST(Replay, ADatabaseWithTablesMadeElsewhereGetsEveryRowAndCannotBeReplayed) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "");
    sqlite3* conn = nullptr;
    sqlite3_open(monitor.db().c_str(), &conn);
    sqlite3_exec(conn,
                 "CREATE TABLE file_events (type, filepath, fid, action, old_filepath, directory, "
                 "diff, handler_type, incident_type, hash);"
                 "CREATE TABLE vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
                 "is_undo_redo, is_copy_paste, internal_copy, copy_buf, is_saved, hash)",
                 nullptr, nullptr, nullptr);
    sqlite3_close(conn);
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "one", .offset = 0}.line() +
                 Change{.file = file, .inserted = "two", .offset = 3}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    EXPECT_EQ(monitor.rows("SELECT group_concat(inserted, '|') FROM vscode_events")[0][0],
              "one|two");

    auto const refused = report(monitor, file);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("keeps no change offsets and snapshots"), std::string::npos)
        << refused.output;
}
