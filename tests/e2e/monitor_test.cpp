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

// A start that fails, or is refused because a monitor already serves the project, leaves the
// database byte for byte as it was, writes no row and leaves no socket file of its own.
TEST(MonitorStartup, ARefusedOrFailedStartLeavesTheDatabaseAndTheSocketAsTheyWere) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.c", "int a;\n");
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "unsaved ", .offset = 0}.line());
    // Once another connection sees the row, its commit is over and the file stays as it is.
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    std::string const before = read_file(monitor.db());
    struct stat socket_before {};
    ASSERT_EQ(::stat(monitor.socket().c_str(), &socket_before), 0);
    ChildProcess::Options const options{.env = {{"HOME", monitor.home().native()}},
                                        .cwd = std::nullopt};
    auto const second = run_process(
        {WARDLET_BIN, monitor.project().native(), "--socket", monitor.socket()}, options);
    EXPECT_EQ(second.status, 1) << second.output;
    EXPECT_EQ(second.output.find("registering"), std::string::npos) << second.output;
    EXPECT_EQ(read_file(monitor.db()), before);
    struct stat socket_after {};
    ASSERT_EQ(::stat(monitor.socket().c_str(), &socket_after), 0);
    EXPECT_EQ(socket_after.st_ino, socket_before.st_ino);
    EXPECT_EQ(monitor.stop(SIGTERM), 0);

    // The same project, its home's Library now a regular file: the start fails.
    std::string const stopped = read_file(monitor.db());
    fs::remove_all(monitor.home() / "Library");
    write_file(monitor.home() / "Library", "not a folder");
    auto const failed = run_process(
        {WARDLET_BIN, monitor.project().native(), "--socket", monitor.socket()}, options);
    EXPECT_EQ(failed.status, 1) << failed.output;
    EXPECT_EQ(failed.output.find("registering"), std::string::npos) << failed.output;
    EXPECT_EQ(read_file(monitor.db()), stopped);
    EXPECT_FALSE(fs::exists(monitor.socket()));
}

// A tracked file changed by another program while no monitor ran: the next start stores a fast
// insertion with the line diff from what the record last gave the file, then its start snapshot.
// An unchanged file gets no such row.
TEST(Monitor, ChangesMadeWhileNoMonitorRanAreAFastInsertionAtTheNextStart) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.c", "int a;\n");
    auto const same = monitor.add_tracked("b.c", "int b;\n");
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "int c;\n", .offset = 7}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(monitor.stop(SIGTERM), 0) << monitor.process().output();
    // The editor's save, then an append by another program.
    write_file(file, "int a;\nint c;\n");
    std::ofstream(file, std::ios::app) << "int pasted;\n";
    monitor.start();
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots", 4), 4);
    EXPECT_EQ(monitor.rows("SELECT filepath, action, handler_type, incident_type, diff FROM "
                           "file_events WHERE incident_type = 'FAST_INSERTION'"),
              file.native() +
                  "|Modified|TRACKEDFILE|FAST_INSERTION|= int a;\n= int c;\n+ "
                  "int pasted;\n\n");
    EXPECT_EQ(monitor.rows("SELECT filepath, reason FROM snapshots WHERE id > 2 ORDER BY filepath"),
              file.native() + "|start\n" + same.native() + "|start\n");
    EXPECT_TRUE(monitor.process().wait_for_output("changed while no monitor ran", 1s))
        << monitor.process().output();
    EXPECT_EQ(monitor.stop(SIGTERM), 0);

    // The report counts the appended bytes as a fast insertion and marks the gap.
    auto const report = run_process({REPORT_BIN, monitor.project().native(), "--json"});
    ASSERT_EQ(report.status, 0) << report.output;
    auto const json = nlohmann::json::parse(report.output);
    int found = 0;
    for (auto const& reported : json["files"]) {
        if (reported["path"] == file.native()) {
            ++found;
            EXPECT_EQ(reported["shares"]["fast_insertion"], 12) << reported.dump();
            EXPECT_EQ(reported["shares"]["typed"], 7) << reported.dump();
        }
    }
    EXPECT_EQ(found, 1) << report.output;
    auto const text = run_process({REPORT_BIN, monitor.project().native()});
    EXPECT_NE(text.output.find("(changed while no monitor ran)"), std::string::npos) << text.output;
}
