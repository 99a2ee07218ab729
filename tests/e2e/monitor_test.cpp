#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

using namespace std::chrono_literals;

namespace {

std::string const kTrackedRows =
    "SELECT COUNT(*) FROM file_events WHERE handler_type = 'TRACKEDFILE' AND action = ";

void append(std::filesystem::path const& path, std::string const& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
}

}  // namespace

class Monitor : public testing::Test {
protected:
    MonitorHarness monitor;
};

TEST_F(Monitor, SavedEditorEditsMatchTheDiskWhileAnExternalAppendIsAFastInsertion) {
    auto const file = monitor.add_tracked("main.c", "int main;\n");
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "// hi\n", .offset = 10}.line() +
                 Change{.file = file, .type = "save", .offset = -1, .saved = true}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    write_file(file, "int main;\n// hi\n");  // the editor's save
    ASSERT_EQ(monitor.wait_for(kTrackedRows + "'Modified'", 1), 1) << monitor.process().output();

    append(file, "extern int pasted;\n");  // another program
    ASSERT_EQ(monitor.wait_for(kTrackedRows + "'Modified'", 2), 2) << monitor.process().output();
    write_file(file, "int main;\n// hi\nextern int pasted;\n");  // same content again
    ASSERT_EQ(monitor.wait_for(kTrackedRows + "'Modified'", 3), 3) << monitor.process().output();

    auto const rows = monitor.rows(
        "SELECT incident_type, diff FROM file_events WHERE handler_type = 'TRACKEDFILE' AND "
        "action = 'Modified' ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (SqlRow{"NONE", ""}));
    EXPECT_EQ(rows[1], (SqlRow{"FAST_INSERTION", "= int main;\n= // hi\n+ extern int pasted;\n"}));
    EXPECT_EQ(rows[2], (SqlRow{"NONE", ""}));
    EXPECT_TRUE(monitor.process().wait_for_output(
        "[FileListener]::trackedfile_handler FAST INSERTION fid=(", 1s));
}

TEST_F(Monitor, InsertedTextFoundInATrackedFileIsAnInternalCopy) {
    auto const library = monitor.add_tracked("lib.c", "int shared_helper(void);\n");
    auto const file = monitor.add_tracked("main.c", "");
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "shared_helper", .offset = 0}.line() +
                 Change{.file = file, .inserted = "brand new", .offset = 13}.line() +
                 Change{.file = file, .deleted = 5, .offset = 0}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 3), 3);
    auto const rows =
        monitor.rows("SELECT inserted, internal_copy, deleted FROM vscode_events ORDER BY id");
    EXPECT_EQ(rows[0], (SqlRow{"shared_helper", "1", "0"}));
    EXPECT_EQ(rows[1], (SqlRow{"brand new", "0", "0"}));
    EXPECT_EQ(rows[2], (SqlRow{"", "0", "5"})) << "a pure deletion copies nothing";
    (void)library;
}

TEST_F(Monitor, ABadMessageLineLosesNoGoodRow) {
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    monitor.send(Change{.file = file, .inserted = "one", .offset = 0}.line() + "{not json\n" +
                 "{\"file\": 3}\n" + Change{.file = file, .inserted = "two", .offset = 3}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    EXPECT_EQ(monitor.rows("SELECT group_concat(inserted, '|') FROM vscode_events")[0][0],
              "one|two");
}

TEST_F(Monitor, RecordsTheFileMapTheBackupFolderAndCreatesTheProjsFile) {
    auto const backups = monitor.home() / "Library" / "Application Support" / "Code" / "Backups";
    std::filesystem::create_directories(backups);
    monitor.start();
    EXPECT_TRUE(std::filesystem::is_regular_file(monitor.home() / "Library" /
                                                 "Application Support" / "Wardlet" / "projs"));
    append(monitor.filemap(), "1;2;/nowhere\n");
    ASSERT_EQ(monitor.wait_for(
                  "SELECT COUNT(*) FROM file_events WHERE handler_type = 'PROJ_TRACKEDPATH'", 1),
              1);

    write_file(backups / "1234567", "prefix:/not/tracked\ncontent");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE filepath LIKE '%1234567' "
                               "AND action = 'Add'",
                               2),
              2);
    auto const rows = monitor.rows(
        "SELECT handler_type FROM file_events WHERE filepath LIKE '%1234567' AND action = 'Add' "
        "ORDER BY id");
    EXPECT_EQ(rows, (std::vector<SqlRow>{{""}, {"VSCODE_BACKUPPATH"}}));
}

TEST_F(Monitor, ContentRenamedOverATrackedFileIsAFastInsertion) {
    auto const file = monitor.add_tracked("cfg.txt", "a\n");
    monitor.start();
    auto const temporary = monitor.project() / "cfg.txt.tmp";
    write_file(temporary, "a\nb\n");
    std::filesystem::rename(temporary, file);
    ASSERT_EQ(monitor.wait_for(
                  "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION'", 1),
              1)
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT diff FROM file_events WHERE incident_type = "
                           "'FAST_INSERTION'")[0][0],
              "= a\n+ b\n");
}

TEST_F(Monitor, SigtermStoresEverythingSentRemovesTheSocketAndExitsZero) {
    auto const file = monitor.add_tracked("a.txt", "");
    monitor.start();
    std::string burst;
    for (int i = 0; i < 200; ++i) {
        burst += Change{.file = file, .inserted = "x", .offset = i}.line();
    }
    monitor.send(burst);
    EXPECT_EQ(monitor.stop(SIGTERM), 0) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM vscode_events")[0][0], "200");
    EXPECT_FALSE(std::filesystem::exists(MonitorHarness::kSocket));
}

TEST(MonitorStartup, FailsClearlyWithoutHomeOrDataDirectory) {
    TempDir project;
    std::filesystem::create_directories(project / ".wardlet");
    for (auto const& home : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        auto const result = run_process({WARDLET_BIN, project.path().native()},
                                        {.env = {{"HOME", home}}, .cwd = std::nullopt});
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find("HOME"), std::string::npos) << result.output;
    }
    TempDir bare;
    auto const result = run_process({WARDLET_BIN, (bare / "missing").native()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("[EventDB] error: "), std::string::npos) << result.output;
}
