// The monitor and its tools on a machine shared with other users, and against hostile files and
// input: each case is a way a careless or malicious neighbour, file or record could hurt a user.

#include "monitor_harness.hpp"

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <gtest/gtest.h>

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
            char const ok = (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
                             ::setuid(kNobody) == 0 &&
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
    auto const monitor = run_process({WARDLET_BIN, (root / "project").native(), "--socket", socket},
                                     {.env = {{"HOME", root.path().native()}}, .cwd = std::nullopt});
    EXPECT_EQ(monitor.status, 1) << monitor.output;
    EXPECT_NE(monitor.output.find("belongs to uid 65534"), std::string::npos) << monitor.output;
    EXPECT_NE(monitor.output.find("--socket PATH"), std::string::npos) << monitor.output;
    EXPECT_TRUE(fs::is_socket(socket));

    // wardlet-send sends nothing to it, and says whose it is.
    auto const messages = write_file(root / "m.jsonl", Change{.file = "/p/a.c", .inserted = "x"}.line());
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
