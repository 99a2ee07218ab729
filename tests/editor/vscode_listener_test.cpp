#include "editor/vscode_listener.hpp"
#include "app/startup_error.hpp"
#include "support/captured_log.hpp"
#include "support/temp_dir.hpp"
#include "support/unix_client.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// One change message line; an offset of -1 is the editor's "no position".
std::string line_of(std::string const& file, std::string const& inserted, long long offset = 0,
                    unsigned deleted = 0, bool saved = false) {
    return fmt::format(R"({{"file": "{}", "type": "{}", "inserted": "{}", "deletedCount": {}, )"
                       R"("offset": {}, "causedByUndoRedo": false, "causedByCopyPaste": {}, )"
                       R"("isSaved": {}}})"
                       "\n",
                       file, saved ? "save" : "change", inserted, deleted, offset, !saved, saved);
}

std::size_t occurrences(std::string const& text, std::string const& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

class EditorChannel : public testing::Test {
protected:
    EditorChannel() {
        fs::create_directories(env.datapath);
        bus.subscribe(BaseEvent::Types::VSCODE_EVENT, [this](Event event) {
            std::lock_guard lock(mutex);
            events.push_back(std::get<VSCodeEvent>(event));
            arrived.notify_all();
        });
    }
    ~EditorChannel() override {
        if (loop.joinable()) {
            finish();
        }
    }

    // Writes the files and lists them in the file map.
    void track(std::vector<std::pair<fs::path, std::string>> const& files) {
        std::string map;
        for (auto const& [path, content] : files) {
            FileId const fid = file_id_of(write_file(path, content));
            map += fmt::format("{};{};{}\n", fid.first, fid.second, path.native());
        }
        write_file(env.datapath / "tracked", map);
    }
    void open() {
        listener = std::make_unique<VSCodeListener>(bus, db, ibuf, env, socket);
        listener->prime();
        loop = std::thread([this] { listener->start(); });
    }
    // Ends the accept loop and every connection; every line received is handled after it.
    void finish() {
        listener->stop();
        loop.join();
        listener->close_connections();
        EXPECT_TRUE(bus.drain(5s));
    }
    // Waits until `count` events in all have been published, and returns them.
    std::vector<VSCodeEvent> published(std::size_t count = 0) {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, 5s, [&] { return events.size() >= count; }));
        return events;
    }
    // Sends the lines on a new connection and waits until they are published.
    void send(std::vector<std::string> const& lines) {
        std::size_t const expected = published().size() + lines.size();
        UnixClient client(socket);
        for (auto const& line : lines) {
            client.send(line);
        }
        published(expected);
    }
    std::string mirror(fs::path const& path) { return ibuf.get_filecontent(path).value_or("-"); }

    TempDir dir;
    Env env = detect_env(dir / "project", false);
    EventBus bus;
    EventDB db{(dir / "events.sqlite3").native()};
    InsertionBuffer ibuf;
    std::string socket = (dir / "editor.sock").native();
    std::unique_ptr<VSCodeListener> listener;
    std::thread loop;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<VSCodeEvent> events;
};

// Lines are framed across reads and a bad one does not end the connection; closing the
// connections finishes the lines received and waits for the readers, leaving a partial line.
TEST_F(EditorChannel, FramesLinesRejectsBadOnesAndFinishesTheReceivedOnesWhenClosing) {
    capture_log();
    open();
    UnixClient client(socket);
    client.send(line_of("/p", "a") + "\n\nnot json\n[1]\n" +
                R"({"file":"/p","type":"t","inserted":"","deletedCount":-1.0,"offset":0,)"
                R"("causedByUndoRedo":false,"causedByCopyPaste":false,"isSaved":false})"
                "\n" +
                line_of("/p", "b") + line_of("/p", "c").substr(0, 20));
    // The rest of the line goes in a later read, once b shows that the first part arrived.
    published(2);
    client.send(line_of("/p", "c").substr(20) + line_of("/p", "d") +
                line_of("/p", "never").substr(0, 30));
    published(4);
    // The client stays connected: the listener ends the connection itself, once however often.
    finish();
    listener->close_connections();
    EXPECT_THROW(client.send(line_of("/p", "late")), std::runtime_error);
    std::string const out = captured_log();
    std::vector<std::string> inserted;
    for (auto const& event : published()) {
        inserted.push_back(event.inserted);
    }
    EXPECT_EQ(inserted, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(occurrences(out, "[VSCodeListener] received:: "), 7u) << out;
    EXPECT_EQ(occurrences(out, "[VSCodeListener] message rejected: "), 3u);
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension connected successfully\n"), 1u);
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension disconnected\n"), 1u);
    // The internal-copy search runs, and is logged, for every accepted message.
    EXPECT_EQ(occurrences(out, "[InsertionBuffer] checking if the following content exists"), 4u);
}

TEST_F(EditorChannel, ReplacesAStaleSocketServesItToItsOwnerOnlyAndRefusesASecondInstance) {
    int const stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);  // bound, never listened: what a crashed monitor leaves
    open();
    struct stat status {};
    ASSERT_EQ(::stat(socket.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    capture_log();
    EXPECT_THROW(VSCodeListener(bus, db, ibuf, env, socket), StartupError);
    std::string const unbindable = (dir / "missing" / "editor.sock").native();
    EXPECT_THROW(VSCodeListener(bus, db, ibuf, env, unbindable), StartupError);
    std::string const out = captured_log();
    for (auto const& line :
         {"[VSCodeListener] another monitor is already serving " + socket,
          "[VSCodeListener] bind failed for " + unbindable + ": No such file or directory\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    send({line_of("/p", "first instance still serves")});
}

// Stopped while it waits, the accept loop shuts down and removes the socket file; a file that is
// no longer the bound socket is someone else's.
// An editor whose connection the accept loop has not taken yet already counts as connected: a
// disk change it made may come before its messages are read.
TEST_F(EditorChannel, AConnectionNotYetAcceptedCountsAsOpen) {
    listener = std::make_unique<VSCodeListener>(bus, db, ibuf, env, socket);
    EXPECT_FALSE(listener->has_open_connection());
    UnixClient const client(socket);
    EXPECT_TRUE(listener->has_open_connection());
}

TEST_F(EditorChannel, StopEndsTheAcceptLoop) {
    capture_log();
    open();
    // Once waiting has begun, the wake-up cannot be missed.
    for (auto const deadline = std::chrono::steady_clock::now() + 5s;
         listener->wait_count() == 0 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::yield();
    }
    listener->stop();
    loop.join();
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_TRUE(has(captured_log(), "[VSCodeListener] server shuttting down...\n"));
    write_file(socket, "not ours");
    listener->remove_socket_if_ours();
    EXPECT_EQ(read_file(socket), "not ours");
}

// Priming loads every tracked file; then only positioned, unsaved edits of tracked paths change
// the mirror, at UTF-8 byte offsets, and the file map is read afresh for every message.
TEST_F(EditorChannel, TrackedEditsMirrorTheDocumentAtByteOffsets) {
    fs::path const digits = env.rootpath / "digits.txt", utf8 = env.rootpath / "utf8.txt",
                   gone = env.rootpath / "gone.txt";
    fs::path const other = write_file(env.rootpath / "other.txt", "untracked");
    track({{digits, "0123456789"}, {utf8, "é=1;"}, {gone, ""}});
    fs::remove(gone);
    capture_log();
    open();
    send(
        {line_of(digits, "ab", 5, 3), line_of(digits, "NOPOS", -1, 2),
         line_of(digits, "SAVE", 0, 1, true), line_of(other, "zz"),
         line_of(env.rootpath / "." / "digits.txt", "alias"),  // another spelling, another document
         line_of(utf8, "ü", 2), line_of(utf8, "", 0, 2), line_of(gone, "q", 0),
         line_of(env.rootpath / "never.txt", "n", 0)});
    track({{digits, "0123456789"}, {utf8, "é=1;"}, {other, "untracked"}});
    // Never loaded, its mirror starts empty: an edit further in is beyond it and ignored.
    send({line_of(other, "r", 0), line_of(other, "s", 5)});
    finish();
    std::string const out = captured_log();
    std::string const loaded = "[VSCodeListener] updated insertion buffer for ";
    EXPECT_NE(out.find(loaded + digits.native() + " with size=10\n"), std::string::npos) << out;
    EXPECT_NE(out.find(loaded + gone.native() + " with size=0\n"), std::string::npos);
    EXPECT_NE(out.find("edit of " + other.native() + " at offset 5 ignored"), std::string::npos);
    EXPECT_EQ(out.find("at offset 18446744073709551615"), std::string::npos);  // no position
    EXPECT_EQ(std::vector<std::string>({mirror(digits), mirror(utf8), mirror(gone), mirror(other)}),
              (std::vector<std::string>{"01234ab89", "ü=1;", "q", "r"}));
    // Untracked paths get no mirror entry, which every later message would search.
    EXPECT_EQ(mirror(env.rootpath / "never.txt"), "-");
    EXPECT_EQ(mirror(env.rootpath / "." / "digits.txt"), "-");
    std::vector<bool> tracked;
    for (auto const& event : published()) {
        tracked.push_back(event.is_tracked);
    }
    EXPECT_EQ(tracked, (std::vector<bool>{true, true, true, false, false, true, true, true, false,
                                          true, true}));
}

// The messages of one read share their lookups of the file map and of a file's identity, except
// across a first save or rename the reader follows: the messages after it see the map and the
// file as the follower left them.
TEST_F(EditorChannel, MessagesOfOneReadSeeTheMapAndFilesAsFollowedSavesAndRenamesLeaveThem) {
    fs::path const digits = env.rootpath / "digits.txt", fresh = env.rootpath / "fresh.txt";
    fs::path const before = env.rootpath / "before.txt", after = env.rootpath / "after.txt";
    track({{digits, "0123456789"}, {before, "b"}});
    std::string const map_before_follow = read_file(env.datapath / "tracked");
    open();
    std::size_t follows = 0;
    listener->follow_first_saves_with([&](fs::path const& path) {
        FileId const fid = file_id_of(write_file(path, "new"));
        write_file(env.datapath / "tracked",
                   read_file(env.datapath / "tracked") +
                       fmt::format("{};{};{}\n", fid.first, fid.second, path.native()));
        ++follows;
    });
    listener->follow_renames_with([&](fs::path const& from, fs::path const& to) {
        fs::rename(from, to);
        FileId const fid = file_id_of(to);
        write_file(env.datapath / "tracked",
                   read_file(env.datapath / "tracked") +
                       fmt::format("{};{};{}\n", fid.first, fid.second, to.native()));
        ++follows;
    });
    std::string const first_save =
        R"({"file": ")" + fresh.native() +
        R"(", "type": "change", "inserted": "new", "deletedCount": 0, "offset": 0, )"
        R"("causedByUndoRedo": false, "causedByCopyPaste": false, "isSaved": false, )"
        R"("firstSave": true})"
        "\n";
    std::string const rename =
        R"({"file": ")" + after.native() + R"(", "oldFile": ")" + before.native() +
        R"(", "type": "rename", "inserted": "", "deletedCount": 0, "offset": -1, )"
        R"("causedByUndoRedo": false, "causedByCopyPaste": false, "isSaved": false})"
        "\n";
    UnixClient client(socket);
    client.send(line_of(digits, "a", 0) + line_of(fresh, "x", 0) + first_save +
                line_of(fresh, "y", 0) + line_of(digits, "b", 0) + rename + line_of(after, "z", 0));
    std::vector<VSCodeEvent> const seen = published(7);
    finish();
    EXPECT_EQ(follows, 2u);
    ASSERT_EQ(seen.size(), 7u);
    std::vector<bool> tracked;
    for (auto const& event : seen) {
        tracked.push_back(event.is_tracked);
    }
    EXPECT_EQ(tracked, (std::vector<bool>{true, false, true, true, true, true, true}));
    FileId const fresh_id = file_id_of(fresh), after_id = file_id_of(after);
    EXPECT_EQ(seen[0].fid, file_id_of(digits));
    EXPECT_EQ(seen[1].fid, (FileId{0, 0}));  // not written yet when the read came
    EXPECT_EQ(seen[3].fid, fresh_id);        // looked up again after the follower wrote it
    EXPECT_EQ(seen[4].fid, file_id_of(digits));
    EXPECT_EQ(seen[6].fid, after_id);
    EXPECT_NE(map_before_follow, read_file(env.datapath / "tracked"));
}
