#include "monitor_harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Changes whose inserted text is their number, 0 .. count - 1, in order.
std::string numbered_burst(fs::path const& file, int count) {
    std::string burst;
    for (int i = 0; i < count; ++i) {
        burst += Change{.file = file, .inserted = std::to_string(i), .offset = 0}.line();
    }
    return burst;
}

// Rows that hold the changes in the order they were sent, counted from the first.
constexpr char const* ROWS_IN_ORDER =
    "SELECT count(*) FROM vscode_events WHERE CAST(inserted AS INTEGER) = id - 1";

std::size_t count_of(std::string const& text, std::string const& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != text.npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<fs::path> recovery_files(fs::path const& datadir) {
    std::vector<fs::path> files;
    for (auto const& entry : fs::directory_iterator(datadir)) {
        if (entry.path().filename().native().starts_with("unwritten-")) {
            files.push_back(entry.path());
        }
    }
    return files;
}

}  // namespace

// Killed outright in the middle of a burst, the monitor leaves a sound database holding every
// row it logged, but for the last group it had not committed yet.
TEST(Durability, KillNineMidBurstLosesAtMostTheOpenGroupOfLoggedRows) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    std::thread sender([&] {
        try {
            monitor.send(numbered_burst(file, 40000));
        } catch (std::runtime_error const&) {
            // the monitor died under it, as it was meant to
        }
    });
    EXPECT_GE(monitor.wait_for("SELECT count(*) FROM vscode_events", 3000), 3000);
    monitor.process().send_signal(SIGKILL);
    EXPECT_EQ(monitor.process().wait(20s), 128 + SIGKILL);
    sender.join();
    auto const logged =
        static_cast<long long>(count_of(monitor.process().output(), "registering vscode event"));
    long long const rows = std::stoll(monitor.rows("SELECT count(*) FROM vscode_events"));
    EXPECT_EQ(monitor.rows("PRAGMA integrity_check"), "ok\n");
    // The log is written by its own thread: lines still queued at the kill are lost with it, so
    // more rows than printed lines is no fault. A printed line promises its row, up to the open
    // group.
    EXPECT_LE(logged - rows, static_cast<long long>(256)) << logged << " logged, " << rows;
    EXPECT_EQ(monitor.rows(ROWS_IN_ORDER), std::to_string(rows) + "\n");
}

// A reviewer's read transaction neither holds up the rows nor the stop; a closed terminal stops
// the monitor as an interrupt does. Once nobody reads, the file alone holds the record.
TEST(Durability, ReaderInsideATransactionCostsNoRowAndAHangupDrainsTheStop) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    {
        SqlReader reviewer(monitor.db());
        ASSERT_EQ(reviewer("BEGIN; SELECT count(*) FROM vscode_events"), "0\n");
        monitor.send(numbered_burst(file, 3000));
        EXPECT_EQ(monitor.wait_for("SELECT count(*) FROM vscode_events", 3000), 3000);
        EXPECT_EQ(monitor.stop(SIGHUP), 0) << monitor.process().output();
        EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events"), "0\n");
    }
    EXPECT_EQ(monitor.rows(ROWS_IN_ORDER), "3000\n");
    EXPECT_FALSE(fs::exists(monitor.db().native() + "-wal"));
    std::string const out = monitor.process().output();
    EXPECT_EQ(out.find("error"), out.npos) << out;
}

// Another program keeps the database locked through the stop: when it may wait no longer the
// monitor puts the rows in a recovery file and says so with status 3; the next start writes them,
// in order, and removes the file.
TEST(Durability, RowsLockedOutAtTheStopAreKeptThenImportedAtTheNextStart) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    monitor.send(numbered_burst(file, 100));
    ASSERT_EQ(monitor.wait_for("SELECT count(*) FROM vscode_events", 100), 100);
    {
        SqlReader other(monitor.db());
        ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
        std::string burst = numbered_burst(file, 600);
        monitor.send(burst.substr(burst.find(Change{.file = file, .inserted = "100"}.line())));
        ASSERT_TRUE(monitor.process().wait_for_output(
            "[EventDB] error: rows cannot be written: database is locked; ", 20s))
            << monitor.process().output();
        // The first signal waits for the database (30 s at most); a second one cuts that short.
        monitor.process().send_signal(SIGTERM);
        ASSERT_TRUE(monitor.process().wait_for_output("stopping...", 20s));
        monitor.process().send_signal(SIGTERM);
        EXPECT_EQ(monitor.process().wait(20s), 3);
        ASSERT_EQ(other("COMMIT"), "");
    }
    EXPECT_EQ(count_of(monitor.process().output(),
                       "[Wardlet] received another signal: rows not written yet go to a recovery "
                       "file\n"),
              1u);
    auto const files = recovery_files(monitor.project() / ".wardlet");
    ASSERT_EQ(files.size(), 1u);
    std::string const out = monitor.process().output();
    EXPECT_EQ(count_of(out,
                       "[EventDB] 500 received rows could not be written to the database; "
                       "they are in " +
                           files[0].native() + "\n"),
              1u)
        << out;
    EXPECT_EQ(monitor.rows("SELECT count(*) FROM vscode_events"), "100\n");

    monitor.start();
    EXPECT_EQ(monitor.rows(ROWS_IN_ORDER), "600\n");
    EXPECT_FALSE(fs::exists(files[0]));
    EXPECT_EQ(count_of(monitor.process().output(),
                       "[EventDB] 500 unwritten rows written from " + files[0].native()),
              1u);
    EXPECT_EQ(monitor.stop(SIGINT), 0);
}

// A third signal ends the process at once, whatever its stop is waiting for.
TEST(Durability, AThirdSignalEndsAStopThatWaits) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    monitor.send(numbered_burst(file, 10));
    ASSERT_EQ(monitor.wait_for("SELECT count(*) FROM vscode_events", 10), 10);
    SqlReader other(monitor.db());
    ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
    monitor.send(numbered_burst(file, 10));
    ASSERT_TRUE(monitor.process().wait_for_output(
        "[EventDB] error: rows cannot be written: database is locked; ", 20s))
        << monitor.process().output();
    monitor.process().send_signal(SIGTERM);
    ASSERT_TRUE(monitor.process().wait_for_output("stopping...", 20s));
    // Each signal read before the next is sent: pending signals are read lowest number first.
    monitor.process().send_signal(SIGINT);
    ASSERT_TRUE(monitor.process().wait_for_output("[Wardlet] received another signal", 20s));
    monitor.process().send_signal(SIGHUP);
    EXPECT_EQ(monitor.process().wait(20s), 128 + SIGHUP) << monitor.process().output();
    ASSERT_EQ(other("COMMIT"), "");
}
