#include "monitor_harness.hpp"
#include "support/socket_lock.hpp"

#include <gtest/gtest.h>

// A project prepared only with wardlet-track is monitored, and messages sent with wardlet-send
// become rows, as they would from the editor extension.
TEST(Tools, PrepareWithTrackThenDriveTheMonitorWithSend) {
    SocketLock socket_lock;
    TempDir root;
    auto const project = root / "project";
    std::filesystem::create_directories(project / "src");
    write_file(project / "src" / "main.c", "int main;\n");
    write_file(project / "src" / "util.c", "int util;\n");
    auto const tracked =
        run_process({TRACK_BIN, project.native(), (project / "src" / "main.c").native(),
                     (project / "src" / "util.c").native()});
    ASSERT_EQ(tracked.status, 0) << tracked.output;

    std::filesystem::create_directories(root / "home");
    ChildProcess monitor({WARDLET_BIN, project.native()},
                         {.env = {{"HOME", (root / "home").native()}}, .cwd = std::nullopt});
    ASSERT_TRUE(monitor.wait_for_output("[VSCodeListener] started\n", std::chrono::seconds(20)))
        << monitor.output();
    EXPECT_NE(monitor.output().find("updated insertion buffer for " +
                                    (project / "src" / "util.c").native() + " with size=10"),
              std::string::npos);

    auto const messages = write_file(
        root / "changes.jsonl",
        Change{.file = project / "src" / "main.c", .inserted = "int util;", .offset = 10}.line() +
            Change{.file = project / "src" / "main.c", .type = "save", .offset = -1, .saved = true}
                .line());
    auto const sent = run_process({SEND_BIN, messages.native()});
    ASSERT_EQ(sent.status, 0) << sent.output;
    auto const db = project / ".wardlet" / "wardlet.sqlite3";
    ASSERT_EQ(wait_for_count(db, "SELECT COUNT(*) FROM vscode_events", 2, std::chrono::seconds(10)),
              2);
    EXPECT_EQ(sql_rows(db, "SELECT type, internal_copy, is_saved FROM vscode_events ORDER BY id"),
              (std::vector<SqlRow>{{"change", "1", "0"}, {"save", "0", "1"}}));
}
