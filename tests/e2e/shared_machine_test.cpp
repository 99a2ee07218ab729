// The monitor and its tools on a machine shared with other users, and against hostile files and
// input: each case is a way a careless or malicious neighbour, file or record could hurt a user.

#include "monitor_harness.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;

// A UNIX socket listening at `path`, bound by a child process running as `nobody`, as another
// user on the machine would have it. Needs root, as the test user becomes another user.
class StrangerListener {
public:
    explicit StrangerListener(std::string const& path) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
            int const fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            char const ok =
                (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
                 ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd, 8) == 0)
                    ? 1
                    : 0;
            [[maybe_unused]] auto const written = ::write(ready[1], &ok, 1);
            char done;
            [[maybe_unused]] auto const got = ::read(release[0], &done, 1);
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char ok = 0;
        listening_ = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~StrangerListener() {
        ::close(release_);
        ::waitpid(pid_, nullptr, 0);
    }
    bool listening() const { return listening_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool listening_ = false;
};

}  // namespace

TEST(SharedMachine, NobodyUsesASocketPathAnotherUserHolds) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    TempDir root;
    // A directory every user may create in, as /tmp is.
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::others_exec);
    auto const shared = root / "shared";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    std::string const socket = (shared / "editor.sock").native();
    StrangerListener stranger(socket);
    ASSERT_TRUE(stranger.listening());

    // The monitor neither serves nor removes it, and says whose it is and what to do.
    fs::create_directories(root / "project" / ".wardlet");
    auto const monitor =
        run_process({WARDLET_BIN, (root / "project").native(), "--socket", socket},
                    {.env = {{"HOME", root.path().native()}}, .cwd = std::nullopt});
    EXPECT_EQ(monitor.status, 1) << monitor.output;
    EXPECT_NE(monitor.output.find("belongs to uid 65534"), std::string::npos) << monitor.output;
    EXPECT_NE(monitor.output.find("--socket PATH"), std::string::npos) << monitor.output;
    EXPECT_TRUE(fs::is_socket(socket));

    // wardlet-send sends nothing to it, and says whose it is.
    auto const messages =
        write_file(root / "m.jsonl", Change{.file = "/p/a.c", .inserted = "x"}.line());
    auto const sent = run_process({SEND_BIN, "--socket", socket, messages.native()});
    EXPECT_EQ(sent.status, 1) << sent.output;
    EXPECT_NE(sent.output.find("belongs to uid 65534"), std::string::npos) << sent.output;

    // A socket file made to look like ours is still served by the other user: the connection
    // itself tells whose it is.
    ASSERT_EQ(::lchown(socket.c_str(), 0, 0), 0);
    auto const disguised = run_process({SEND_BIN, "--socket", socket, messages.native()});
    EXPECT_EQ(disguised.status, 1) << disguised.output;
    EXPECT_NE(disguised.output.find("is served by uid 65534"), std::string::npos)
        << disguised.output;
}

TEST(SharedMachine, APlainFileOfAnotherUserIsNotRemovedAndOursIsNotEither) {
    TempDir root;
    fs::create_directories(root / "project" / ".wardlet");
    auto const start = [&](fs::path const& socket) {
        return run_process({WARDLET_BIN, (root / "project").native(), "--socket", socket.native()},
                           {.env = {{"HOME", root.path().native()}}, .cwd = std::nullopt});
    };
    auto const plain = write_file(root / "plain", "mine");
    auto const refused = start(plain);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("is not a socket"), std::string::npos) << refused.output;
    EXPECT_EQ(read_file(plain), "mine");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(plain.c_str(), kNobody, kNobody), 0);
        auto const foreign = start(plain);
        EXPECT_EQ(foreign.status, 1) << foreign.output;
        EXPECT_NE(foreign.output.find("belongs to uid 65534"), std::string::npos) << foreign.output;
        EXPECT_EQ(read_file(plain), "mine");
    }
}

namespace {

// The real monitor with its standard output on a pipe that the test reads, stops reading or
// closes, as a log reader may.
class PipedMonitor {
public:
    explicit PipedMonitor(MonitorHarness& harness) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::string const home = "HOME=" + harness.home().native();
        std::vector<std::string> args{WARDLET_BIN, harness.project().native(), "--socket",
                                      harness.socket()};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            ::setenv("HOME", harness.home().c_str(), 1);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~PipedMonitor() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            wait(10s);
        }
        close_output();
    }

    // Reads the log until `needle` has appeared; false when `bound` passes or the log ends first.
    bool read_until(std::string const& needle, std::chrono::milliseconds bound) {
        auto const deadline = std::chrono::steady_clock::now() + bound;
        while (text_.find(needle) == std::string::npos) {
            auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char chunk[65536];
            ssize_t const count = ::read(out_, chunk, sizeof chunk);
            if (count <= 0) {
                return false;
            }
            text_.append(chunk, static_cast<std::size_t>(count));
        }
        return true;
    }
    // Reads the rest of the log, up to its end.
    void read_to_end() {
        char chunk[65536];
        ssize_t count;
        while ((count = ::read(out_, chunk, sizeof chunk)) > 0 || (count < 0 && errno == EINTR)) {
            text_.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        }
    }
    void close_output() {
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }
    std::string const& text() const { return text_; }
    void signal(int number) { ::kill(pid_, number); }
    std::optional<int> wait(std::chrono::milliseconds bound) {
        for (auto const deadline = std::chrono::steady_clock::now() + bound; !status_;) {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            } else {
                // waitpid has no timed form; poll the child's state at a short interval.
                std::this_thread::sleep_for(5ms);
            }
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
    std::optional<int> status_;
};

std::string burst(fs::path const& file, int count, std::size_t size) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += Change{.file = file, .inserted = std::string(size, 'x'), .offset = 0}.line();
    }
    return lines;
}

}  // namespace

TEST(LogOutput, AReaderThatGoesAwayOrStopsReadingNeverStopsTheMonitor) {
    {
        MonitorHarness harness;
        auto const file = harness.add_tracked("a.txt", "");
        PipedMonitor monitor(harness);
        ASSERT_TRUE(monitor.read_until("[VSCodeListener] started\n", 20s)) << monitor.text();
        monitor.close_output();
        harness.send(burst(file, 200, 10));
        EXPECT_EQ(harness.wait_for("SELECT COUNT(*) FROM vscode_events", 200), 200);
        monitor.signal(SIGTERM);
        EXPECT_EQ(monitor.wait(20s), 0);
    }
    {
        MonitorHarness harness;
        auto const file = harness.add_tracked("a.txt", "");
        PipedMonitor monitor(harness);
        ASSERT_TRUE(monitor.read_until("[VSCodeListener] started\n", 20s)) << monitor.text();
        // Far more log than the pipe and the log's queue hold, while nobody reads.
        harness.send(burst(file, 3000, 1000));
        EXPECT_EQ(harness.wait_for("SELECT COUNT(*) FROM vscode_events", 3000), 3000);
        // Once read again, the log says what it missed and goes on as before.
        EXPECT_TRUE(
            monitor.read_until("log lines dropped: the log output was not read in time\n", 20s));
        monitor.signal(SIGTERM);
        monitor.read_to_end();
        EXPECT_EQ(monitor.wait(20s), 0);
        EXPECT_NE(monitor.text().find("[Wardlet] received signal 15, stopping...\n"),
                  std::string::npos);
    }
}

TEST(LogOutput, EditorTextCannotDriveTheTerminal) {
    MonitorHarness monitor;
    monitor.start();
    monitor.send(
        "{\"file\":\"\x1b]0;owned\x07\",\"type\":\"change\"}\n\x9b\n\xc2\x9b"
        "31m\n");
    monitor.send(Change{.file = "/p/a.c", .inserted = "\x1b[2J\r"}.line());
    ASSERT_TRUE(monitor.process().wait_for_output("content=\\x1b[2J\\x0d", 10s))
        << monitor.process().output();
    ASSERT_TRUE(monitor.process().wait_for_output("\\xc2\\x9b31m", 10s))
        << monitor.process().output();
    EXPECT_EQ(monitor.stop(SIGTERM), 0);
    std::string const log = monitor.process().output();
    EXPECT_NE(log.find("\\x1b]0;owned\\x07"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\x07'), std::string::npos);
    EXPECT_EQ(log.find("\xc2\x9b"), std::string::npos);
}

namespace {

std::size_t count_of(std::string const& text, std::string const& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(Descriptors, ManyMoreConnectionsThanDescriptorsLeaveTheMonitorServingAndRecording) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "hello world");
    monitor.start({"/usr/bin/prlimit", "--nofile=1024:1024", "--"});
    UnixClient first(monitor.socket());
    ASSERT_TRUE(monitor.process().wait_for_output("extension connected successfully", 10s));
    std::vector<std::unique_ptr<UnixClient>> clients;
    for (int i = 0; i < 2000; ++i) {
        clients.push_back(std::make_unique<UnixClient>(monitor.socket()));
    }
    ASSERT_TRUE(monitor.process().wait_for_output("out of file descriptors", 20s))
        << monitor.process().output().substr(0, 4000);
    // The connection opened before goes on being served, its file is still known as tracked
    // (the second insertion copies what the first one mirrored) and its rows are stored.
    first.send(Change{.file = file, .inserted = "zq", .offset = 0}.line() +
               Change{.file = file, .inserted = "zqhel", .offset = 2}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2)
        << monitor.process().output().substr(0, 4000);
    EXPECT_EQ(monitor.rows("SELECT internal_copy FROM vscode_events ORDER BY id"), "0\n1\n");
    clients.clear();
    // Once the excess connections are gone, new ones are served again.
    for (int probe = 0; probe < 200; ++probe) {
        monitor.send(Change{.file = "/elsewhere", .inserted = "probe"}.line());
        if (monitor.process().wait_for_output("accepting connections again", 100ms)) {
            break;
        }
    }
    monitor.send(Change{.file = file, .inserted = "zqzq", .offset = 0}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events WHERE inserted = 'zqzq'", 1), 1);
    EXPECT_EQ(monitor.stop(SIGTERM), 0);
    std::string const log = monitor.process().output();
    EXPECT_EQ(count_of(log, "out of file descriptors"), 1u);
    EXPECT_EQ(count_of(log, "could not accept connection"), 0u);
    EXPECT_EQ(count_of(log, "file map"), 0u);
    EXPECT_EQ(count_of(log, "unable to open"), 0u);
    EXPECT_EQ(monitor.rows("SELECT internal_copy FROM vscode_events WHERE inserted = 'zqzq'"),
              "1\n");
}

// With the descriptors exhausted below the connection cap, the accept loop takes each excess
// connection off the backlog with its spare descriptor and closes it, instead of failing on it
// again and again, and says so once.
TEST(Descriptors, AnExhaustedDescriptorTableIsOneEpisodeNotAStormAndTheMonitorStillStops) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's own checks of a new thread need descriptors, which are all taken here.
    GTEST_SKIP() << "not under AddressSanitizer: its runtime needs free descriptors";
#endif
    MonitorHarness monitor;
    monitor.add_tracked("a.txt", "");
    monitor.start();
    auto const lowered = run_process(
        {"/usr/bin/prlimit", "--pid", std::to_string(monitor.process().pid()), "--nofile=128:128"});
    ASSERT_EQ(lowered.status, 0) << lowered.output;
    std::vector<std::unique_ptr<UnixClient>> clients;
    for (int i = 0; i < 400; ++i) {
        clients.push_back(std::make_unique<UnixClient>(monitor.socket()));
    }
    ASSERT_TRUE(monitor.process().wait_for_output("out of file descriptors", 20s));
    clients.clear();
    int const status = monitor.stop(SIGTERM);
    std::string const log = monitor.process().output();
    EXPECT_EQ(status, 0) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    EXPECT_EQ(count_of(log, "out of file descriptors"), 1u);
    EXPECT_EQ(count_of(log, "could not accept connection"), 0u);
}

TEST(HostileFiles, ATrackedFifoAtStartOrRenamedOverATrackedFileBlocksNothing) {
    MonitorHarness monitor;
    auto const fifo = monitor.project() / "pipe.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct stat status {};
    ::stat(fifo.c_str(), &status);
    std::ofstream(monitor.filemap(), std::ios::app)
        << status.st_ino << ';' << status.st_dev << ';' << fifo.native() << '\n';
    auto const file = monitor.add_tracked("a.txt", "abc");
    monitor.start();
    EXPECT_EQ(count_of(monitor.process().output(), "pipe.txt is a FIFO, not a regular file"), 1u)
        << monitor.process().output();

    // A FIFO put in the place of a tracked file is noticed and skipped; the bus goes on.
    auto const other = monitor.project() / "other.fifo";
    ASSERT_EQ(::mkfifo(other.c_str(), 0600), 0);
    fs::rename(other, file);
    ASSERT_TRUE(monitor.process().wait_for_output("a.txt is a FIFO, not a regular file", 10s))
        << monitor.process().output();
    monitor.send(Change{.file = file, .inserted = "x", .offset = 0}.line());
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(monitor.stop(SIGTERM), 0) << monitor.process().output();
}

// A project handed out with a link planted towards a private file (a key, another user's work)
// must not copy that file into the record the student hands in.
TEST(PrivateFiles, ATrackedLinkLeadingOutsideTheProjectIsNeverRead) {
    MonitorHarness monitor;
    TempDir elsewhere;
    auto const secret = write_file(elsewhere / "id_key", "PRIVATE KEY\n");
    auto const link = monitor.project() / "notes.txt";
    fs::create_symlink(secret, link);
    // Or a folder of the project that is a link to the private file's folder.
    fs::create_directory_symlink(elsewhere.path(), monitor.project() / "docs");
    write_file(elsewhere / "id_other", "PRIVATE KEY TOO\n");
    auto const through_folder = monitor.project() / "docs" / "id_other";
    for (auto const& path : {link, through_folder}) {
        struct stat status {};
        ::stat(path.c_str(), &status);
        std::ofstream(monitor.filemap(), std::ios::app)
            << status.st_ino << ';' << status.st_dev << ';' << path.native() << '\n';
    }
    monitor.add_tracked("a.txt", "abc");
    monitor.start();
    EXPECT_EQ(count_of(monitor.process().output(),
                       "notes.txt is a symbolic link leading outside the project: not read"),
              1u)
        << monitor.process().output();
    EXPECT_EQ(count_of(monitor.process().output(),
                       "id_other leads outside the project through a linked folder: not read"),
              1u)
        << monitor.process().output();
    // The secret changes on disk: the change is not read either.
    write_file(secret, "PRIVATE KEY, rotated\n");
    monitor.send(Change{.file = link, .inserted = "x", .offset = 0}.line());
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(monitor.stop(SIGTERM), 0) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM snapshots WHERE CAST(content AS TEXT) LIKE "
                           "'%PRIVATE%'"),
              "0\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE CAST(diff AS TEXT) LIKE "
                           "'%PRIVATE%'"),
              "0\n");
}

// The same project handed out with its file map naming a private file elsewhere, and one that is
// not there yet: neither is read, followed or made, and the map's own files are recorded as ever,
// also when the monitor is started on the project under another name (a link to it).
TEST(PrivateFiles, AMapLineNamingAFileOutsideTheProjectIsSkipped) {
    MonitorHarness monitor;
    TempDir elsewhere;
    auto const secret = write_file(elsewhere / "id_key", "PRIVATE KEY\n");
    auto const planted = elsewhere / "autostart" / "planted.desktop";
    struct stat status {};
    ::stat(secret.c_str(), &status);
    std::ofstream(monitor.filemap(), std::ios::app)
        << status.st_ino << ';' << status.st_dev << ';' << secret.native() << '\n'
        << "1;2;" << planted.native() << '\n'
        << "3;4;" << (monitor.project() / ".." / elsewhere.path().filename() / "id_key").native()
        << '\n';
    auto const own = monitor.add_tracked("a.txt", "abc");
    auto const alias = elsewhere / "alias";
    fs::create_directory_symlink(monitor.project(), alias);
    monitor.start_as(alias);
    for (std::string const line :
         {"line 1 skipped (outside the project)", "line 2 skipped (outside the project)",
          "line 3 skipped (outside the project)"}) {
        EXPECT_EQ(count_of(monitor.process().output(), line), 1u) << monitor.process().output();
    }
    monitor.send(Change{.file = secret, .inserted = "x", .offset = 0}.line() +
                 Change{.file = own, .inserted = "z", .offset = 0}.line());
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    EXPECT_EQ(monitor.stop(SIGTERM), 0) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT filepath FROM snapshots"), own.native() + "\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM snapshots WHERE CAST(content AS TEXT) LIKE "
                           "'%PRIVATE%'"),
              "0\n");
    EXPECT_FALSE(fs::exists(planted.parent_path()));
}

TEST(PrivateFiles, AFreshProjectKeepsTheProgrammersTextToItsOwner) {
    TempDir root;
    auto const project = root / "project";
    fs::create_directories(project);
    auto const source = write_file(project / "a.c", "int a;\n");
    mode_t const before = ::umask(022);
    auto const tracked = run_process({TRACK_BIN, project.native(), source.native()});
    ::umask(before);
    ASSERT_EQ(tracked.status, 0) << tracked.output;
    auto const mode = [](fs::path const& path) {
        struct stat status {};
        ::lstat(path.c_str(), &status);
        return status.st_mode & 07777;
    };
    EXPECT_EQ(mode(project / ".wardlet"), 0700u);
    EXPECT_EQ(mode(project / ".wardlet" / "wardlet.sqlite3"), 0600u);
    EXPECT_EQ(mode(project / ".wardlet" / "tracked"), 0600u);

    // The monitor makes a missing database its owner's alone, and its journals follow it.
    fs::remove(project / ".wardlet" / "wardlet.sqlite3");
    std::string const socket = (root / "editor.sock").native();
    ChildProcess monitor({WARDLET_BIN, project.native(), "--socket", socket},
                         {.env = {{"HOME", root.path().native()}}, .cwd = std::nullopt});
    ASSERT_TRUE(monitor.wait_for_output("[VSCodeListener] started\n", 20s)) << monitor.output();
    EXPECT_EQ(mode(project / ".wardlet" / "wardlet.sqlite3"), 0600u);
    UnixClient(socket).send(Change{.file = source, .inserted = "x"}.line());
    EXPECT_EQ(wait_for_count(project / ".wardlet" / "wardlet.sqlite3",
                             "SELECT COUNT(*) FROM vscode_events", 1, 10s),
              1);
    for (auto const& entry : fs::directory_iterator(project / ".wardlet")) {
        if (entry.path().filename().native().starts_with("wardlet.sqlite3")) {
            EXPECT_EQ(mode(entry.path()), 0600u) << entry.path();
        }
    }
    monitor.send_signal(SIGTERM);
    EXPECT_EQ(monitor.wait(20s), 0);
}

// A record handed in by a student is untrusted: the paths it names never place an exported file
// outside the export's directory, and its text never runs as a spreadsheet formula.
TEST(HostileRecords, TheProgSnap2ExportStaysInItsDirectoryAndItsCellsStayText) {
    MonitorHarness monitor;
    auto const root = monitor.project().parent_path();
    auto const normal = monitor.add_tracked("a.c", "");
    // Resolved from CodeStates/<id>/ of the export, this path names a file beside the export.
    std::string const crafted = monitor.project().native() + "/a/../../../../escape.c";
    std::ofstream(monitor.filemap(), std::ios::app) << "999999;1;" << crafted << '\n';
    monitor.start();
    monitor.send(Change{.file = crafted, .inserted = "owned"}.line() +
                 Change{.file = crafted, .type = "save", .offset = -1, .saved = true}.line() +
                 Change{.file = normal, .inserted = "=HYPERLINK(\"http://x\")"}.line() +
                 Change{.file = normal, .inserted = "@SUM(1)", .offset = 22}.line() +
                 Change{.file = normal, .inserted = "-2+3", .offset = 29}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 5), 5);
    EXPECT_EQ(monitor.stop(SIGTERM), 0);

    auto const export_dir = root / "ps2";
    auto const result =
        run_process({REPORT_BIN, monitor.project().native(), "--progsnap2", export_dir.native()});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_FALSE(fs::exists(root / "escape.c"));
    for (auto const& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename() == "escape.c") {
            EXPECT_TRUE(entry.path().native().starts_with(export_dir.native() + "/"))
                << entry.path();
        }
    }
    EXPECT_NE(result.output.find("a path leaving the directory by .."), std::string::npos)
        << result.output;
    auto const parsed = run_process(
        {"/usr/bin/env", "python3", "-c",
         "import csv, sys\n"
         "for row in csv.DictReader(open(sys.argv[1] + '/MainTable.csv', newline='')):\n"
         "    if row['X-InsertText']: print(row['CodeStateSection'], row['X-InsertText'])\n",
         export_dir.native()});
    ASSERT_EQ(parsed.status, 0) << parsed.output;
    EXPECT_NE(parsed.output.find("a.c '=HYPERLINK(\"http://x\")\n"), std::string::npos)
        << parsed.output;
    EXPECT_NE(parsed.output.find("a.c '@SUM(1)\n"), std::string::npos) << parsed.output;
    EXPECT_NE(parsed.output.find("a.c '-2+3\n"), std::string::npos) << parsed.output;
    EXPECT_NE(parsed.output.find("_refused/escape.c/0 owned\n"), std::string::npos)
        << parsed.output;
}
