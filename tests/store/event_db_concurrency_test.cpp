#include "store/event_db.hpp"

#include "sql_reader.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

VSCodeEvent vscode_event(int n) {
    VSCodeEvent event;
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.filepath = "/p/e" + std::to_string(n);
    return event;
}

}  // namespace

TEST(EventDBConcurrency, ReaderHoldingAReadTransactionDelaysButDoesNotLoseARow) {
    TempDir dir;
    auto const path = dir / "wardlet.sqlite3";
    testing::internal::CaptureStdout();
    EventDB db(path.string());

    // A reviewer in the middle of a read transaction holds the shared lock.
    SqlReader reviewer(path);
    ASSERT_EQ(reviewer("BEGIN; SELECT count(*) FROM vscode_events"), "0\n");
    bool stored = false;
    std::atomic<bool> writer_done{false};
    std::thread writer([&] {
        stored = db.store(vscode_event(1));
        writer_done = true;
    });
    // Once its rollback journal exists the writer is inside its transaction; it cannot commit
    // while the reviewer reads, so from then on it is waiting.
    auto const journal = fs::path(path.string() + "-journal");
    auto const deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(journal) && !writer_done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(writer_done);
    EXPECT_EQ(reviewer("COMMIT"), "");
    writer.join();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(stored) << out;
    EXPECT_EQ(reviewer("SELECT filepath FROM vscode_events"), "/p/e1\n");
}

TEST(EventDBConcurrency, GroupCommitKeepsOrderLosesOnlyAFailedRowAndCommitsWithinItsBound) {
    TempDir dir;
    auto const path = dir / "wardlet.sqlite3";
    SqlReader reviewer(path);
    reviewer(
        "CREATE TABLE vscode_events (id INTEGER PRIMARY KEY, timestamp, type, filepath "
        "CHECK (filepath <> '/p/e3'), fid, inserted, deleted, is_undo_redo, is_copy_paste, "
        "internal_copy, copy_buf, is_saved, hash, change_offset)");
    testing::internal::CaptureStdout();
    {
        EventDB db(path.string());
        db.enable_group_commit(20ms);
        for (int n = 1; n <= 5; ++n) {
            // Row 3 reports its failure unless a commit happened to be under way.
            bool const stored = db.store(vscode_event(n));
            EXPECT_TRUE(stored || n == 3);
        }
        // Nothing asks for the commit: the committer's bound alone makes the rows visible.
        auto const deadline = std::chrono::steady_clock::now() + 10s;
        while (reviewer("SELECT count(*) FROM vscode_events") != "4\n" &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        db.store(vscode_event(6));
        db.commit_soon();
        db.store(vscode_event(7));
    }
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("step failed: CHECK constraint failed"), out.npos);
    // Closing the database commits what is still open.
    EXPECT_EQ(reviewer("SELECT group_concat(filepath, ' ') FROM vscode_events ORDER BY id"),
              "/p/e1 /p/e2 /p/e4 /p/e5 /p/e6 /p/e7\n");
}

TEST(EventDBConcurrency, RowsStoredWhileACommitWaitsForTheDiskFollowItInOrder) {
    TempDir dir;
    auto const path = dir / "wardlet.sqlite3";
    SqlReader reviewer(path);
    reviewer(
        "CREATE TABLE vscode_events (id INTEGER PRIMARY KEY, timestamp, type, filepath "
        "CHECK (filepath <> '/p/e3'), fid, inserted, deleted, is_undo_redo, is_copy_paste, "
        "internal_copy, copy_buf, is_saved, hash, change_offset)");
    auto const until = [](auto condition) {
        auto const deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return condition();
    };
    testing::internal::CaptureStdout();
    std::string out;
    {
        EventDB db(path.string());
        db.enable_group_commit(20ms);
        EXPECT_TRUE(db.store(vscode_event(1)));
        // The reviewer's read transaction keeps the commit waiting (up to the busy timeout); a
        // waiting commit keeps new readers out, which the probe sees.
        ASSERT_EQ(reviewer("BEGIN; SELECT count(*) FROM vscode_events"), "0\n");
        db.commit_soon();
        SqlReader probe(path);
        ASSERT_TRUE(
            until([&] { return probe("SELECT 1 FROM vscode_events").starts_with("error"); }));
        for (int n = 2; n <= 5; ++n) {
            EXPECT_TRUE(db.store(vscode_event(n)));
        }
        // A snapshot waits for them instead: it must be placed after them.
        std::thread snapshot([&] { EXPECT_TRUE(db.store_snapshot("/p/f", {1, 2}, "start", "x")); });
        // Storing did not wait for the commit: it has neither given up nor gone through yet.
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("COMMIT failed"), out.npos);
        testing::internal::CaptureStdout();
        EXPECT_EQ(reviewer("COMMIT"), "");
        snapshot.join();
        EXPECT_TRUE(until([&] { return reviewer("SELECT count(*) FROM snapshots") == "1\n"; }));
    }
    out += testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("COMMIT failed"), out.npos);
    EXPECT_NE(out.find("step failed: CHECK constraint failed"), out.npos);
    EXPECT_EQ(reviewer("SELECT group_concat(filepath, ' ') FROM vscode_events ORDER BY id"),
              "/p/e1 /p/e2 /p/e4 /p/e5\n");
    EXPECT_EQ(reviewer("SELECT after_event_id FROM snapshots"), "4\n");
}
