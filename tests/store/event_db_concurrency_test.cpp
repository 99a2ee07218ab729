#include "store/event_db.hpp"
#include "support/captured_log.hpp"

#include "support/sql_rows.hpp"
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

// True once `condition` holds, false when it still does not after 10 s.
template <typename F>
bool until(F condition) {
    for (auto const deadline = std::chrono::steady_clock::now() + 10s;
         !condition() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

// The editor table of the monitor, except that it refuses the rows of /p/e3 and /p/e8.
constexpr char const* REFUSING =
    "CREATE TABLE vscode_events (id INTEGER PRIMARY KEY, timestamp, type, filepath CHECK "
    "(filepath NOT IN ('/p/e3', '/p/e8')), fid, inserted, deleted, is_undo_redo, is_copy_paste, "
    "internal_copy, copy_buf, is_saved, hash, change_offset)";

class EventDBConcurrency : public testing::Test {
protected:
    TempDir dir;
    std::filesystem::path const path = dir / "wardlet.sqlite3";
    SqlReader reviewer{path};
};

}  // namespace

TEST_F(EventDBConcurrency, ReaderHoldingAReadTransactionDelaysButDoesNotLoseARow) {
    capture_log();
    EventDB db(path.string());
    // A reviewer in the middle of a read transaction holds the shared lock.
    ASSERT_EQ(reviewer("BEGIN; SELECT count(*) FROM vscode_events"), "0\n");
    bool stored = false;
    std::atomic<bool> writer_done{false};
    std::thread writer([&] {
        stored = db.store(vscode_event(1));
        writer_done = true;
    });
    // Once its rollback journal exists the writer is inside its transaction; it cannot commit
    // while the reviewer reads, so from then on it is waiting.
    until([&] { return fs::exists(path.string() + "-journal") || writer_done; });
    EXPECT_FALSE(writer_done);
    EXPECT_EQ(reviewer("COMMIT"), "");
    writer.join();
    std::string const out = captured_log();
    EXPECT_TRUE(stored) << out;
    EXPECT_EQ(reviewer("SELECT filepath FROM vscode_events"), "/p/e1\n");
}

// Rows share a transaction that the committer's bound alone commits, and a failed row loses only
// itself. Rows stored while a commit waits for the disk (a reader keeps it waiting) follow it in
// order, and a snapshot waits for them; closing commits what is still open.
TEST_F(EventDBConcurrency, GroupCommitKeepsOrderLosesOnlyAFailedRowAndCommitsWithinItsBound) {
    reviewer(REFUSING);
    capture_log();
    std::string out;
    {
        EventDB db(path.string());
        db.enable_group_commit(20ms);
        for (int n = 1; n <= 5; ++n) {
            // Row 3 reports its failure unless a commit happened to be under way.
            EXPECT_TRUE(db.store(vscode_event(n)) || n == 3);
        }
        // Nothing asks for the commit: the committer's bound alone makes the rows visible.
        EXPECT_TRUE(until([&] { return reviewer("SELECT count(*) FROM vscode_events") == "4\n"; }));
        EXPECT_TRUE(db.store(vscode_event(6)));
        // The reviewer's read transaction keeps the commit waiting (up to the busy timeout); a
        // waiting commit keeps new readers out, which the probe sees.
        ASSERT_EQ(reviewer("BEGIN; SELECT count(*) FROM vscode_events"), "4\n");
        db.commit_soon();
        SqlReader probe(path);
        ASSERT_TRUE(
            until([&] { return probe("SELECT 1 FROM vscode_events").starts_with("error"); }));
        for (int n = 7; n <= 9; ++n) {
            EXPECT_TRUE(db.store(vscode_event(n)));  // row 8 fails once written: only logged
        }
        // A snapshot waits for them instead: it must be placed after them.
        std::thread snapshot([&] { EXPECT_TRUE(db.store_snapshot("/p/f", {1, 2}, "start", "x")); });
        // Storing did not wait for the commit: it has neither given up nor gone through yet.
        out = captured_log();
        EXPECT_EQ(out.find("COMMIT failed"), out.npos);
        capture_log();
        EXPECT_EQ(reviewer("COMMIT"), "");
        snapshot.join();
        EXPECT_TRUE(until([&] { return reviewer("SELECT count(*) FROM snapshots") == "1\n"; }));
        db.store(vscode_event(10));
    }
    out += captured_log();
    EXPECT_EQ(out.find("COMMIT failed"), out.npos);
    std::string const failed = "step failed: CHECK constraint failed";
    EXPECT_NE(out.find(failed), out.rfind(failed)) << out;  // rows 3 and 8
    EXPECT_EQ(reviewer("SELECT group_concat(filepath, ' ') FROM vscode_events ORDER BY id"),
              "/p/e1 /p/e2 /p/e4 /p/e5 /p/e6 /p/e7 /p/e9 /p/e10\n");
    EXPECT_EQ(reviewer("SELECT after_event_id FROM snapshots"), "7\n");
}
