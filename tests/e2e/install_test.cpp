#include "events/file_id.hpp"
#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <signal.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string line_for(fs::path const& file) {
    auto const [inode, device] = file_id_of(file);
    return std::to_string(inode) + ";" + std::to_string(device) + ";" + file.native();
}

}  // namespace

// The programs as `cmake --install` lays them out, started the way the run command starts them
// once it has built them: a project never prepared gets its source files tracked by pattern, and
// the monitor then records from its first moment. Words after the project are ignored.
TEST(Installed, AnUnpreparedProjectIsPreparedAndMonitoredByTheInstalledPrograms) {
    MonitorHarness monitor;
    fs::remove_all(monitor.project() / ".wardlet");
    TempDir prefix;
    auto const installed =
        run_process({CMAKE_BIN, "--install", BUILD_DIR, "--prefix", prefix.path()}, {}, 60s);
    ASSERT_EQ(installed.status, 0) << installed.output;
    for (std::string const program :
         {"wardlet", "wardlet-track", "wardlet-send", "wardlet-report"}) {
        EXPECT_EQ(::access((prefix / "bin" / program).c_str(), X_OK), 0) << program;
    }
    EXPECT_TRUE(has(read_file(prefix / "share/systemd/user/wardlet@.service"),
                    "ExecStart=" + (prefix / "bin/wardlet").native() + " %f\n"));
    EXPECT_TRUE(fs::exists(prefix / "share/doc/wardlet/README.md"));

    fs::create_directories(monitor.project() / "src");
    fs::create_directories(monitor.project() / "node_modules" / "dep");
    auto const main_c = write_file(monitor.project() / "src" / "main.c", "int main;\n");
    auto const tool_py = write_file(monitor.project() / "tool.py", "print(1)\n");
    write_file(monitor.project() / "node_modules" / "dep" / "index.js", "x\n");
    write_file(monitor.project() / "notes.txt", "notes\n");
    ChildProcess run({"/bin/bash", START_SCRIPT, (prefix / "bin").native(),
                      monitor.project().native(), "--socket", monitor.socket(), "extra", "words"},
                     {.env = {{"HOME", monitor.home().native()}}, .cwd = std::nullopt});
    ASSERT_TRUE(run.wait_for_output("[VSCodeListener] started\n", 20s)) << run.output();
    std::string const output = run.output();
    EXPECT_TRUE(has(output, "has no .wardlet yet: tracking its source files")) << output;
    EXPECT_TRUE(has(output, "pattern   *.c\n")) << output;
    EXPECT_TRUE(has(output, "added     " + line_for(main_c) + "\n")) << output;
    EXPECT_TRUE(has(output, "added     " + line_for(tool_py) + "\n")) << output;
    EXPECT_EQ(read_file(monitor.filemap()), line_for(main_c) + "\n" + line_for(tool_py) + "\n");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots", 2), 2) << run.output();
    EXPECT_EQ(monitor.rows("SELECT filepath, reason FROM snapshots ORDER BY filepath"),
              main_c.native() + "|start\n" + tool_py.native() + "|start\n");

    monitor.send(Change{.file = main_c, .inserted = "int x;\n", .offset = 10}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1) << run.output();
    EXPECT_EQ(monitor.rows("SELECT filepath, inserted FROM vscode_events"),
              main_c.native() + "|int x;\n\n");
    run.send_signal(SIGINT);
    EXPECT_EQ(run.wait(20s), 0) << run.output();
}

// What the monitor says about its arguments, before it starts anything.
TEST(Installed, TheMonitorsArgumentsHelpAndRefusals) {
    auto result = run_process({WARDLET_BIN, "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output.starts_with("usage: wardlet [options] <proj_dir>\n"))
        << result.output;
    EXPECT_TRUE(has(result.output, "wardlet-track <proj_dir> --pattern")) << result.output;
    std::string const usage =
        std::string("[Wardlet]::client correct usage: ") + WARDLET_BIN + " [proj_dir]\n";
    result = run_process({WARDLET_BIN});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, usage);
    for (std::vector<std::string> const& args : {std::vector<std::string>{"--bogus", "/tmp"},
                                                 {"/tmp", "--verbose"},
                                                 {"/tmp", "--socket"}}) {
        std::vector<std::string> argv{WARDLET_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        result = run_process(argv);
        EXPECT_EQ(result.status, 2) << args.back();
        EXPECT_TRUE(has(result.output, usage)) << result.output;
    }
    EXPECT_TRUE(has(run_process({WARDLET_BIN, "--bogus", "/tmp"}).output,
                    "wardlet: unknown option --bogus\n"));

    // An unprepared project: the error line, then how to prepare it.
    TempDir root;
    fs::path const project = root / "my proj";
    fs::create_directories(project);
    fs::create_directories(root / "home");
    result = run_process({WARDLET_BIN, project.native(), "ignored"},
                         {.env = {{"HOME", (root / "home").native()}}, .cwd = std::nullopt});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(has(result.output, "[EventDB] error: unable to open database file dbpath=" +
                                       (project / ".wardlet" / "wardlet.sqlite3").native() +
                                       "\n[Wardlet] to prepare the project: wardlet-track '" +
                                       project.native() + "' --pattern '*.py'"))
        << result.output;
}
