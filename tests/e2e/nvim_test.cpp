#include "monitor_harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The project's files before the session; the session in nvim/session.lua edits each and saves.
std::vector<std::pair<std::string, std::string>> const FILES = {
    {"typing.txt", "hello\n"},
    {"lines.txt", "one\ntwo\nthree\n"},
    {"block.txt", "aaa\nbab\ncca\n"},
    {"indent.c", "int f(void) {\nreturn 1;\n      }\n"},
    {"paste.txt", "start\nend\n"},
    {"dos.txt", "a\r\nb\r\nc\r\n"},
    {"noeol.txt", "last"},
    {"empty.txt", ""},
    {"cleared.txt", "gone\nsoon\n"},
};

}  // namespace

// Real editing in Neovim with the plugin installed as its README says: after every save the
// record replays to the file on disk byte for byte, no save counts as a fast insertion, and every
// row names the editor.
TEST(Neovim, EditingSessionReplaysByteForByte) {
    if (std::string(NVIM_BIN).empty()) {
        GTEST_SKIP() << "nvim not found: the Neovim plugin is not tested";
    }
    MonitorHarness monitor;
    for (auto const& [name, content] : FILES) {
        monitor.add_tracked(name, content);
    }
    monitor.start();
    auto const home = monitor.home();
    auto const pack = home / ".local/share/nvim/site/pack/wardlet/start";
    std::filesystem::create_directories(pack);
    std::filesystem::create_directory_symlink(PLUGIN_DIR, pack / "wardlet.nvim");

    auto const result = run_process(
        {NVIM_BIN, "--headless", "-i", "NONE", "-n", "--cmd",
         std::string("let g:wardlet_socket = '") + MonitorHarness::kSocket + "'", "-c",
         "luafile " SESSION_SCRIPT},
        ChildProcess::Options{.env = {{"HOME", home.native()},
                                      {"XDG_CONFIG_HOME", (home / ".config").native()},
                                      {"XDG_DATA_HOME", (home / ".local/share").native()},
                                      {"XDG_CACHE_HOME", (home / ".cache").native()},
                                      {"WARDLET_PROJECT", monitor.project().native()},
                                      {"WARDLET_DB", monitor.db().native()}},
                              .cwd = monitor.project()},
        std::chrono::seconds(180));
    ASSERT_EQ(result.status, 0) << result.output << monitor.process().output();
    EXPECT_NE(result.output.find("0 waiting, 0 dropped"), std::string::npos) << result.output;

    long long const files = static_cast<long long>(FILES.size());
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(DISTINCT filepath) FROM file_events WHERE "
                               "handler_type = 'TRACKEDFILE' AND action = 'Modified'",
                               files),
              files)
        << monitor.process().output();
    ASSERT_EQ(monitor.stop(SIGINT), 0);

    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE incident_type = "
                           "'FAST_INSERTION'"),
              "0\n")
        << monitor.rows(
               "SELECT filepath, diff FROM file_events WHERE incident_type = "
               "'FAST_INSERTION'");
    EXPECT_EQ(monitor.rows("SELECT DISTINCT editor FROM vscode_events"), "VIM\n");
    for (auto const& [name, before] : FILES) {
        auto const file = monitor.project() / name;
        auto const replay =
            run_process({REPORT_BIN, monitor.project().native(), "--replay", file.native()});
        ASSERT_EQ(replay.status, 0) << name << ": " << replay.output;
        std::string const after = read_file(file);
        EXPECT_NE(after, before) << name << " was not edited";
        EXPECT_EQ(replay.output, after) << name;
    }
    auto const report = run_process({REPORT_BIN, monitor.project().native(), "--json"});
    ASSERT_EQ(report.status, 0) << report.output;
    for (auto const& file : nlohmann::json::parse(report.output)["files"]) {
        EXPECT_EQ(file["editors"], nlohmann::json::array({"VIM"})) << file["path"];
    }
    // Each kind of change is told apart: typed, put or pasted, undone or redone.
    auto const flags = [&](std::string const& name) {
        return monitor.rows(
            "SELECT SUM(is_undo_redo) > 0, SUM(is_copy_paste) > 0, SUM(is_saved) FROM "
            "vscode_events WHERE filepath = '" +
            (monitor.project() / name).native() + "'");
    };
    EXPECT_EQ(flags("typing.txt"), "0|0|1\n");
    EXPECT_EQ(flags("lines.txt"), "1|1|1\n");
    EXPECT_EQ(flags("block.txt"), "1|0|1\n");
    EXPECT_EQ(flags("paste.txt"), "0|1|1\n");
    EXPECT_EQ(monitor.rows("SELECT type, COUNT(*) FROM vscode_events WHERE type != 'change' "
                           "GROUP BY type ORDER BY type"),
              "open|9\nsave|9\n");
}
