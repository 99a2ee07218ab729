#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Edits sent and then saved match the disk; an append by another program, and then a file renamed
// over the tracked one, are fast insertions with their diffs against the mirror of the moment.
TEST(Monitor, ContentThatBypassedTheEditorIsAFastInsertionWithItsDiff) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("main.c", "int main;\n");
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "// hi\n", .offset = 10}.line() +
                 Change{.file = file, .type = "save", .offset = -1, .saved = true}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    write_file(file, "int main;\n// hi\n");  // the editor's save
    std::string const modified =
        "SELECT COUNT(*) FROM file_events WHERE handler_type = 'TRACKEDFILE' AND action = "
        "'Modified'";
    ASSERT_EQ(monitor.wait_for(modified, 1), 1) << monitor.process().output();
    std::ofstream(file, std::ios::app) << "extern int pasted;\n";
    ASSERT_EQ(monitor.wait_for(modified, 2), 2) << monitor.process().output();
    write_file(monitor.project() / "main.c.tmp", "int main;\n// hi\nextern int pasted;\nb\n");
    fs::rename(monitor.project() / "main.c.tmp", file);
    std::string const fast = " FROM file_events WHERE incident_type = 'FAST_INSERTION'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + fast, 2), 2) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT incident_type FROM file_events WHERE handler_type = "
                           "'TRACKEDFILE' AND action = 'Modified' ORDER BY id"),
              "NONE\nFAST_INSERTION\n");
    EXPECT_EQ(monitor.rows("SELECT diff" + fast + " ORDER BY id"),
              "= int main;\n= // hi\n+ extern int pasted;\n\n"
              "= int main;\n= // hi\n= extern int pasted;\n+ b\n\n");
    EXPECT_TRUE(monitor.process().wait_for_output(
        "[FileListener]::trackedfile_handler FAST INSERTION fid=(", 1s));
}

TEST(Monitor, RecordsTheFileMapTheBackupFolderAndCreatesTheProjsFile) {
    MonitorHarness monitor;
    auto const support = monitor.home() / "Library" / "Application Support";
    fs::create_directories(support / "Code" / "Backups");
    monitor.start();
    EXPECT_TRUE(fs::is_regular_file(support / "Wardlet" / "projs"));
    std::ofstream(monitor.filemap(), std::ios::app) << "1;2;/nowhere\n";
    ASSERT_EQ(monitor.wait_for(
                  "SELECT COUNT(*) FROM file_events WHERE handler_type = 'PROJ_TRACKEDPATH'", 1),
              1);
    write_file(support / "Code" / "Backups" / "1234567", "prefix:/not/tracked\ncontent");
    std::string const added = " FROM file_events WHERE filepath LIKE '%1234567' AND action = 'Add'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + added, 2), 2);
    EXPECT_EQ(monitor.rows("SELECT handler_type" + added + " ORDER BY id"),
              "\nVSCODE_BACKUPPATH\n");
}

TEST(Monitor, SigtermStoresEverythingSentRemovesTheSocketAndExitsZero) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    std::string burst;
    for (int i = 0; i < 2000; ++i) {
        burst += Change{.file = file, .inserted = "x", .offset = i}.line();
    }
    monitor.send(burst);
    // Once the connection is accepted, every line sent on it is stored, however soon the signal.
    ASSERT_TRUE(monitor.process().wait_for_output("extension connected successfully", 10s));
    EXPECT_EQ(monitor.stop(SIGTERM), 0) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM vscode_events"), "2000\n");
    EXPECT_FALSE(fs::exists(monitor.socket()));
}

TEST(MonitorStartup, FailsClearlyWithoutArgumentHomeOrDataDirectory) {
    auto const usage = run_process({WARDLET_BIN});
    EXPECT_EQ(usage.status, 255);
    EXPECT_EQ(usage.output,
              std::string("[Wardlet]::client correct usage: ") + WARDLET_BIN + " [proj_dir]\n");
    TempDir project;
    fs::create_directories(project / ".wardlet");
    auto const homeless = run_process({WARDLET_BIN, project.path().native()},
                                      {.env = {{"HOME", std::nullopt}}, .cwd = std::nullopt});
    EXPECT_EQ(homeless.status, 1) << homeless.output;
    EXPECT_NE(homeless.output.find("HOME"), std::string::npos) << homeless.output;
    auto const result = run_process({WARDLET_BIN, (project / "missing").native()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("[EventDB] error: "), std::string::npos) << result.output;
}
