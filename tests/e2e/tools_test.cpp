#include "monitor_harness.hpp"

#include <gtest/gtest.h>

// A project prepared only with wardlet-track is monitored, and messages sent with wardlet-send
// become rows, as they would from the editor extension: an insertion of text found in another
// tracked file is an internal copy.
TEST(Tools, PrepareWithTrackThenDriveTheMonitorWithSend) {
    MonitorHarness monitor;
    auto const main_c = write_file(monitor.project() / "main.c", "int main;\n");
    auto const util_c = write_file(monitor.project() / "util.c", "int util;\n");
    auto const tracked = run_process({TRACK_BIN, monitor.project(), main_c, util_c});
    ASSERT_EQ(tracked.status, 0) << tracked.output;
    monitor.start();
    auto const messages =
        write_file(monitor.project() / "changes.jsonl",
                   Change{.file = main_c, .inserted = "int util;", .offset = 10}.line() +
                       Change{.file = main_c, .inserted = "int other;", .offset = 19}.line() +
                       Change{.file = main_c, .type = "save", .offset = -1, .saved = true}.line());
    auto const sent = run_process({SEND_BIN, "--socket", monitor.socket(), messages});
    ASSERT_EQ(sent.status, 0) << sent.output;
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 3), 3);
    EXPECT_EQ(monitor.rows("SELECT type, internal_copy, is_saved FROM vscode_events ORDER BY id"),
              "change|1|0\nchange|0|0\nsave|0|1\n");
}
