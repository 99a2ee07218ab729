#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

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
    {"long.txt", "first line\nsecond \u00e9\n"},
    {"cleared.txt", "gone\nsoon\n"},
    {"latin1.txt", "caf\xe9\nna\xefve\n"},
    {"bom.txt", "\xef\xbb\xbfh\xc3\xa9llo\n"},
};

// A file's bytes as Neovim holds them and the record keeps them: decoded to UTF-8 (latin1.txt is
// in Latin-1), without a byte order mark.
std::string as_held(std::string const& name, std::string const& bytes) {
    if (name == "latin1.txt") {
        std::string text;
        for (unsigned char const byte : bytes) {
            if (byte < 0x80) {
                text += static_cast<char>(byte);
            } else {
                text += static_cast<char>(0xc0 | (byte >> 6));
                text += static_cast<char>(0x80 | (byte & 0x3f));
            }
        }
        return text;
    }
    return bytes.starts_with("\xef\xbb\xbf") ? bytes.substr(3) : bytes;
}

}  // namespace

// Real editing in Neovim with the plugin installed as its README says: after every save the
// record replays to the file on disk byte for byte (to its text as the editor holds it, for a file
// in Latin-1 or with a byte order mark), no save counts as a fast insertion, and every row names
// the editor.
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
         "let g:wardlet_socket = '" + monitor.socket() + "'", "-c",
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
        EXPECT_EQ(replay.output, as_held(name, after)) << name;
    }
    auto const report = run_process({REPORT_BIN, monitor.project().native(), "--json"});
    ASSERT_EQ(report.status, 0) << report.output;
    auto const parsed = nlohmann::json::parse(report.output);
    for (auto const& file : parsed["files"]) {
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
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) > 2500 FROM vscode_events WHERE filepath = '" +
                           (monitor.project() / "long.txt").native() + "'"),
              "1\n");
    EXPECT_EQ(monitor.rows("SELECT type, COUNT(*) FROM vscode_events WHERE type != 'change' "
                           "GROUP BY type ORDER BY type"),
              fmt::format("open|{0}\nsave|{0}\n", FILES.size()));
}

// Without a usable socket the editor goes on, the status says why and how much waits; the plugin
// never connects to a socket of another user, and delivers everything once it may.
TEST(Neovim, WaitsForAUsableSocketAndThenDeliversInOrder) {
    if (std::string(NVIM_BIN).empty()) {
        GTEST_SKIP() << "nvim not found: the Neovim plugin is not tested";
    }
    TempDir root;
    std::filesystem::create_directories(root / "project/.wardlet");
    auto const file = write_file(root / "project/notes.txt", "x\n");
    auto const home = root / "home";
    auto const pack = home / ".local/share/nvim/site/pack/wardlet/start";
    std::filesystem::create_directories(pack);
    std::filesystem::create_directory_symlink(PLUGIN_DIR, pack / "wardlet.nvim");
    auto const socket_path = root / "monitor.sock";
    // "caf\u00e9\n" in Latin-1, and CRLF line ends.
    auto const latin1 = write_file(root / "project/latin1.txt", "caf\xe9\n");
    auto const dos = write_file(root / "project/dos.txt", "a\r\nb\r\n");

    int const server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    auto const bind_socket = [&] {
        ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(::listen(server, 4), 0);
    };
    // As root the socket exists from the start but belongs to another user; otherwise it is
    // missing at first.
    bool const as_root = ::geteuid() == 0;
    if (as_root) {
        bind_socket();
        ASSERT_EQ(::chown(socket_path.c_str(), 65534, 65534), 0);
    }
    ChildProcess nvim(
        {NVIM_BIN, "--headless", "-i", "NONE", "-n", "--cmd",
         "let g:wardlet_socket = '" + socket_path.native() + "'", "-c", "luafile " OFFLINE_SCRIPT},
        ChildProcess::Options{
            .env = {{"HOME", home.native()},
                    {"XDG_CONFIG_HOME", (home / ".config").native()},
                    {"XDG_DATA_HOME", (home / ".local/share").native()},
                    {"WARDLET_FILE", file.native()},
                    {"WARDLET_OTHER_FILES", latin1.native() + ":" + dos.native()}},
            .cwd = root / "project"});
    ASSERT_TRUE(nvim.wait_for_output("typed: ", std::chrono::seconds(30))) << nvim.output();
    std::string const before = nvim.output();
    EXPECT_NE(before.find("opened: Wardlet: not connected to " + socket_path.native() +
                          ", 1 waiting, 0 dropped"),
              std::string::npos)
        << before;
    EXPECT_NE(before.find(as_root ? "belongs to another user" : "no socket at"), std::string::npos)
        << before;
    EXPECT_NE(before.find("typed: Wardlet: not connected to " + socket_path.native() +
                          ", 2 waiting, 0 dropped"),
              std::string::npos)
        << before;
    if (as_root) {
        ASSERT_EQ(::chown(socket_path.c_str(), ::geteuid(), ::getegid()), 0);
    } else {
        bind_socket();
    }
    pollfd waiting{server, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 30000), 1) << nvim.output();
    int const connection = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(connection, 0);
    std::string received;
    char buffer[4096];
    while (std::count(received.begin(), received.end(), '\n') < 4) {
        pollfd readable{connection, POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 30000), 1) << received;
        ssize_t const count = ::read(connection, buffer, sizeof(buffer));
        ASSERT_GT(count, 0) << received;
        received.append(buffer, static_cast<std::size_t>(count));
    }
    std::vector<nlohmann::json> lines;
    for (std::size_t start = 0, end; (end = received.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(nlohmann::json::parse(received.substr(start, end - start)));
    }
    ASSERT_EQ(lines.size(), 4u) << received;
    EXPECT_EQ(lines[0]["type"], "open");
    EXPECT_EQ(lines[0]["textIncluded"], false);
    EXPECT_EQ(lines[0]["length"], 2);
    EXPECT_EQ(lines[1]["type"], "change");
    EXPECT_EQ(lines[1]["inserted"], "hello");
    for (auto const& line : lines) {
        EXPECT_EQ(line["editor"], "VIM");
    }
    EXPECT_EQ(lines[1]["file"], file.native());
    // The text as the editor holds it: UTF-8, with the file's line ends.
    EXPECT_EQ(lines[2]["file"], latin1.native());
    EXPECT_EQ(lines[2]["encoding"], "iso88591");
    EXPECT_EQ(lines[2]["length"], 6);
    EXPECT_EQ(lines[2]["sha256"],
              "7b49b9e063bd91a4f9252b413261f5557b9c570aa61516989499f64a62dbcdd6");
    EXPECT_EQ(lines[3]["file"], dos.native());
    EXPECT_EQ(lines[3]["eol"], "\r\n");
    EXPECT_EQ(lines[3]["encoding"], "utf8");
    EXPECT_EQ(lines[3]["length"], 6);
    for (auto const& line : {lines[2], lines[3]}) {
        EXPECT_EQ(line["type"], "open");
        EXPECT_EQ(line["bom"], false);
        EXPECT_EQ(line["textIncluded"], false);
    }
    EXPECT_EQ(nvim.wait(std::chrono::seconds(30)).value_or(-1), 0) << nvim.output();
    EXPECT_NE(nvim.output().find("end: Wardlet: connected to " + socket_path.native() +
                                 ", 0 waiting, 0 dropped"),
              std::string::npos)
        << nvim.output();
    ::close(connection);
    ::close(server);
}
