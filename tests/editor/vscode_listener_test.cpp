#include "editor/vscode_listener.hpp"
#include "app/startup_error.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"
#include "support/unix_client.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Change {
    std::string file;
    std::string inserted;
    long long offset = 0;
    unsigned deleted = 0;
    bool saved = false;
};

std::string line_of(Change const& change) {
    return nlohmann::json{{"file", change.file},
                          {"type", change.saved ? "save" : "change"},
                          {"inserted", change.inserted},
                          {"deletedCount", change.deleted},
                          {"offset", change.offset},
                          {"causedByUndoRedo", false},
                          {"causedByCopyPaste", !change.saved},
                          {"isSaved", change.saved}}
               .dump() +
           "\n";
}

std::size_t occurrences(std::string const& text, std::string const& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

bool has(std::string const& text, std::string const& needle) {
    return text.find(needle) != std::string::npos;
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

    void TearDown() override {
        if (loop.joinable()) {
            listener->stop();
            loop.join();
        }
        if (listener) {
            listener->close_connections();
        }
        bus.drain(5s);
    }

    // Writes the files and lists them in the file map.
    void track(std::vector<std::pair<fs::path, std::string>> const& files) {
        std::string map;
        for (auto const& [path, content] : files) {
            write_file(path, content);
            FileId const fid = file_id_of(path);
            map += fmt::format("{};{};{}\n", fid.first, fid.second, path.native());
        }
        write_file(env.datapath / "tracked", map);
    }

    void open() { listener = std::make_unique<VSCodeListener>(bus, db, ibuf, env, socket); }

    void open_and_start() {
        open();
        loop = std::thread([this] { listener->start(); });
    }

    // Ends the accept loop and every connection; every line received is handled after it.
    void finish() {
        listener->stop();
        loop.join();
        listener->close_connections();
        ASSERT_TRUE(bus.drain(5s));
    }

    bool wait_for_events(std::size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 5s, [&] { return events.size() >= count; });
    }

    // Sends the changes on a new connection and waits until they are published.
    void send(std::vector<Change> const& changes) {
        std::size_t const expected = published().size() + changes.size();
        UnixClient client(socket);
        for (auto const& change : changes) {
            client.send(line_of(change));
        }
        ASSERT_TRUE(wait_for_events(expected));
    }

    std::vector<VSCodeEvent> published() {
        std::lock_guard lock(mutex);
        return events;
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

TEST_F(EditorChannel, FramesLinesAndRejectsBadOnesWithoutEndingTheConnection) {
    testing::internal::CaptureStdout();
    open_and_start();
    {
        UnixClient client(socket);
        client.send(line_of({"/p", "a"}) + "\n\nnot json\n[1]\n" +
                    R"({"file":"/p","type":"t","inserted":"","deletedCount":-1.0,"offset":0,)"
                    R"("causedByUndoRedo":false,"causedByCopyPaste":false,"isSaved":false})"
                    "\n" +
                    line_of({"/p", "b"}));
        std::string const split = line_of({"/p", "c"});
        for (std::size_t at = 0; at < split.size(); at += 5) {
            client.send(split.substr(at, 5));
        }
        client.send(line_of({"/p", "d"}) + line_of({"/p", "never"}).substr(0, 30));
        ASSERT_TRUE(wait_for_events(4));
    }
    finish();
    std::string const out = testing::internal::GetCapturedStdout();

    std::vector<std::string> inserted;
    for (auto const& event : published()) {
        inserted.push_back(event.inserted);
    }
    EXPECT_EQ(inserted, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(occurrences(out, "[VSCodeListener] received:: "), 7u) << out;
    EXPECT_EQ(occurrences(out, "[VSCodeListener] message rejected: "), 3u);
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension connected successfully\n"), 1u);
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension disconnected\n"), 1u);
}

TEST_F(EditorChannel, ClosingConnectionsFinishesReceivedLinesAndWaitsForReaders) {
    open_and_start();
    UnixClient client(socket);
    client.send(line_of({"/p", "kept"}) + line_of({"/p", "partial"}).substr(0, 20));
    ASSERT_TRUE(wait_for_events(1));
    listener->stop();
    loop.join();
    // The client stays connected: the listener ends the connection itself.
    listener->close_connections();
    listener->close_connections();
    ASSERT_TRUE(bus.drain(5s));
    EXPECT_EQ(published().size(), 1u);
    EXPECT_THROW(client.send(line_of({"/p", "late"})), std::runtime_error);
}

TEST_F(EditorChannel, ReplacesAStaleSocketServesItToItsOwnerOnlyAndRefusesASecondInstance) {
    int const stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);  // bound, never listened: what a crashed monitor leaves

    open_and_start();
    struct stat status {};
    ASSERT_EQ(::stat(socket.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    testing::internal::CaptureStdout();
    EXPECT_THROW(VSCodeListener(bus, db, ibuf, env, socket), StartupError);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "[VSCodeListener] another monitor is already serving " + socket)) << out;
    EXPECT_FALSE(has(out, "initialized"));
    send({{"/p", "first instance still serves"}});
    finish();
}

TEST_F(EditorChannel, UnbindableSocketFailsConstructionWithTheStepAndTheReason) {
    socket = (dir / "missing" / "editor.sock").native();
    testing::internal::CaptureStdout();
    EXPECT_THROW(open(), StartupError);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(
        has(out, "[VSCodeListener] bind failed for " + socket + ": No such file or directory\n"))
        << out;
    EXPECT_FALSE(has(out, "initialized"));
}

TEST_F(EditorChannel, StopWhileWaitingShutsDownAndRemovesTheSocket) {
    testing::internal::CaptureStdout();
    open_and_start();
    // Once waiting has begun, the wake-up cannot be missed.
    for (auto const deadline = std::chrono::steady_clock::now() + 5s;
         listener->wait_count() == 0 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::yield();
    }
    listener->stop();
    loop.join();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "[VSCodeListener] initialized\n[VSCodeListener] started\n")) << out;
    EXPECT_TRUE(has(out, "[VSCodeListener] stopped\n"));
    EXPECT_TRUE(has(out, "[VSCodeListener] server shuttting down...\n"));
    EXPECT_FALSE(has(out, "quitting"));
    EXPECT_FALSE(fs::exists(socket));
}

TEST_F(EditorChannel, PendingConnectionComesFirstAndQuittingLeavesTheSocketFile) {
    open();
    UnixClient client(socket);  // waits in the backlog
    listener->stop();
    EXPECT_EQ(listener->get_conn_status(), std::make_pair(false, true));
    testing::internal::CaptureStdout();
    listener->start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[VSCodeListener] started\n[VSCodeListener] quitting...\n");
    EXPECT_TRUE(fs::is_socket(socket));
    listener->remove_socket_if_ours();
    EXPECT_FALSE(fs::exists(socket));
    // A file that is no longer the bound socket is someone else's.
    write_file(socket, "not ours");
    listener->remove_socket_if_ours();
    EXPECT_EQ(read_file(socket), "not ours");
}

TEST_F(EditorChannel, PrimingLoadsEveryTrackedFile) {
    fs::path const readable = dir / "a.txt";
    fs::path const unreadable = dir / "gone.txt";
    track({{readable, "0123456789"}, {unreadable, ""}});
    fs::remove(unreadable);
    testing::internal::CaptureStdout();
    open();
    std::string const out = testing::internal::GetCapturedStdout();
    std::string const line = "[VSCodeListener] updated insertion buffer for ";
    EXPECT_TRUE(has(out, line + readable.native() + " with size=10\n")) << out;
    EXPECT_TRUE(has(out, line + unreadable.native() + " with size=0\n"));
    EXPECT_EQ(mirror(readable), "0123456789");
    EXPECT_EQ(mirror(unreadable), "");
}

TEST_F(EditorChannel, OnlyPositionedUnsavedEditsOfTrackedFilesChangeTheMirror) {
    fs::path const digits = dir / "digits.txt";
    fs::path const utf8 = dir / "utf8.txt";
    fs::path const other = write_file(dir / "other.txt", "untracked");
    track({{digits, "0123456789"}, {utf8, "é=1;"}});
    open_and_start();
    send({{digits.native(), "ab", 5, 3},
          {digits.native(), "NOPOS", -1, 2},
          {digits.native(), "SAVE", 0, 1, true},
          {other.native(), "zz", 0, 0},
          {(dir / "." / "digits.txt").native(), "alias", 0, 0},
          // Offsets and counts are UTF-8 bytes: é and ü are two each.
          {utf8.native(), "ü", 2, 0},
          {utf8.native(), "", 0, 2}});
    finish();

    EXPECT_EQ(mirror(digits), "01234ab89");
    EXPECT_EQ(mirror(utf8), "ü=1;");
    EXPECT_EQ(mirror(other), "");  // known to the buffer from now on, never edited
    std::vector<bool> tracked;
    for (auto const& event : published()) {
        tracked.push_back(event.is_tracked);
    }
    // Another spelling of a tracked path is another document.
    EXPECT_EQ(tracked, (std::vector<bool>{true, true, true, false, false, true, true}));
}

TEST_F(EditorChannel, FileMapIsReadAfreshForEveryMessage) {
    fs::path const late = write_file(dir / "late.txt", "on disk");
    track({});
    open_and_start();
    send({{late.native(), "q", 0}});
    FileId const fid = file_id_of(late);
    write_file(env.datapath / "tracked",
               fmt::format("{};{};{}\n", fid.first, fid.second, late.native()));
    testing::internal::CaptureStdout();
    // Never loaded, its mirror starts empty: an edit at the start applies, one further in is
    // beyond the mirror and ignored.
    send({{late.native(), "r", 0}, {late.native(), "s", 5}});
    finish();
    std::string const out = testing::internal::GetCapturedStdout();
    auto const events = published();
    EXPECT_FALSE(events[0].is_tracked);
    EXPECT_TRUE(events[1].is_tracked && events[2].is_tracked);
    EXPECT_EQ(mirror(late), "r");
    EXPECT_TRUE(has(out, "edit of " + late.native() + " at offset 5 ignored")) << out;
}

TEST_F(EditorChannel, StoresOneRowPerEventAndFlagsOnlyNonEmptyTextFoundInATrackedFile) {
    fs::path const source = dir / "source.txt";
    fs::path const target = dir / "target.txt";
    track({{source, "hello world"}, {target, ""}});
    bus.subscribe(BaseEvent::Types::VSCODE_EVENT, [this](Event event) { listener->handle(event); });
    open_and_start();
    testing::internal::CaptureStdout();
    send({{target.native(), "", 0, 0},
          {target.native(), "", -1, 0, true},
          {target.native(), "world", 0},
          {target.native(), "elsewhere", 0}});
    finish();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "[VSCodeListener] handler triggered\n"), 4u) << out;
    // The search runs, and is logged, for every message.
    EXPECT_EQ(occurrences(out, "[InsertionBuffer] checking if the following content exists"), 4u);

    FileId const fid = file_id_of(target);
    std::string const file = target.native();
    std::string const fid_text = fmt::format("{};{}", fid.first, fid.second);
    EXPECT_EQ(sql_rows(dir / "events.sqlite3",
                       "SELECT type, filepath, fid, inserted, deleted, is_undo_redo, "
                       "is_copy_paste, internal_copy, copy_buf, is_saved "
                       "FROM vscode_events ORDER BY id"),
              (std::vector<SqlRow>{
                  {"change", file, fid_text, "", "0", "0", "1", "0", "", "0"},
                  {"save", file, fid_text, "", "0", "0", "0", "0", "", "1"},
                  {"change", file, fid_text, "world", "0", "0", "1", "1", "", "0"},
                  {"change", file, fid_text, "elsewhere", "0", "0", "1", "0", "", "0"}}));
    EXPECT_THROW(listener->handle(Event{FileEvent{}}), std::bad_variant_access);
}
