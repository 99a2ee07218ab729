#include "editor/vscode_listener.hpp"
#include "app/startup_error.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"
#include "support/unix_client.hpp"

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

// The editor events published on a bus, in order of delivery.
class PublishedEvents {
public:
    explicit PublishedEvents(EventBus& bus) {
        bus.subscribe(BaseEvent::Types::VSCODE_EVENT, [this](Event event) {
            std::lock_guard lock(mutex_);
            events_.push_back(std::get<VSCodeEvent>(event));
            arrived_.notify_all();
        });
    }

    // Waits, at most five seconds, until `count` events have been delivered.
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 5s, [&] { return events_.size() >= count; });
    }

    std::vector<VSCodeEvent> all() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<VSCodeEvent> events_;
};

struct Change {
    std::string file;
    std::string inserted;
    long long offset = 0;
    unsigned deleted = 0;
    bool saved = false;
};

std::string line_of(Change const& change) {
    nlohmann::json const message{{"file", change.file},
                                 {"type", change.saved ? "save" : "change"},
                                 {"inserted", change.inserted},
                                 {"deletedCount", change.deleted},
                                 {"offset", change.offset},
                                 {"causedByUndoRedo", false},
                                 {"causedByCopyPaste", change.saved ? false : true},
                                 {"isSaved", change.saved}};
    return message.dump() + "\n";
}

std::size_t occurrences(std::string const& text, std::string const& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// A socket file that no server listens on, as a crashed monitor leaves it.
void make_stale_socket(std::string const& path) {
    int const fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

bool waited_until(std::function<bool()> const& condition) {
    auto const deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

class EditorChannel : public testing::Test {
protected:
    EditorChannel() { fs::create_directories(env.datapath); }

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

    // Writes the files with their contents and lists them, in this order, in the file map.
    void track(std::vector<std::pair<fs::path, std::string>> const& files) {
        std::string map;
        for (auto const& [path, content] : files) {
            write_file(path, content);
            FileId const fid = file_id_of(path);
            map += std::to_string(fid.first) + ";" + std::to_string(fid.second) + ";" +
                   path.native() + "\n";
        }
        write_file(tracked_map(), map);
    }

    fs::path tracked_map() const { return env.datapath / "tracked"; }

    void open() { listener = std::make_unique<VSCodeListener>(bus, db, ibuf, env, socket); }

    void open_and_start() {
        open();
        loop = std::thread([this] { listener->start(); });
    }

    // Ends the accept loop and every connection; every line received has been handled after it.
    void finish() {
        listener->stop();
        loop.join();
        listener->close_connections();
        ASSERT_TRUE(bus.drain(5s));
    }

    // Sends the lines on one connection and waits until all of them are processed.
    std::vector<VSCodeEvent> exchange(std::vector<Change> const& changes) {
        std::size_t const before = published.all().size();
        UnixClient client(socket);
        for (auto const& change : changes) {
            client.send(line_of(change));
        }
        EXPECT_TRUE(published.wait_for(before + changes.size()));
        auto all = published.all();
        return {all.begin() + static_cast<long>(before), all.end()};
    }

    std::string mirror(fs::path const& path) {
        return ibuf.get_filecontent(path).value_or("<none>");
    }

    TempDir dir;
    Env env = detect_env(dir / "project", false);
    EventBus bus;
    EventDB db{(dir / "events.sqlite3").native()};
    InsertionBuffer ibuf;
    PublishedEvents published{bus};
    std::string socket = (dir / "editor.sock").native();
    std::unique_ptr<VSCodeListener> listener;
    std::thread loop;
};

// Framing on a real connection.

TEST_F(EditorChannel, FramesLinesWhateverTheWritesLookLike) {
    testing::internal::CaptureStdout();
    open_and_start();
    {
        UnixClient client(socket);
        client.send(line_of({"/p/one", "a"}) + "\n\n" + line_of({"/p/one", "b"}));
        std::string const split = line_of({"/p/one", "c"});
        for (std::size_t at = 0; at < split.size(); at += 5) {
            client.send(split.substr(at, 5));
        }
        client.send("\n" + line_of({"/p/one", "d"}) + line_of({"/p/one", "never"}).substr(0, 30));
        ASSERT_TRUE(published.wait_for(4));
    }
    finish();
    std::string const out = testing::internal::GetCapturedStdout();

    std::vector<std::string> inserted;
    for (auto const& event : published.all()) {
        inserted.push_back(event.inserted);
    }
    EXPECT_EQ(inserted, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(occurrences(out, "[VSCodeListener] received:: "), 4u) << out;
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension connected successfully\n"), 1u);
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension disconnected\n"), 1u);
}

TEST_F(EditorChannel, BadLinesAreRejectedOneByOneAndTheConnectionGoesOn) {
    testing::internal::CaptureStdout();
    open_and_start();
    UnixClient client(socket);
    client.send(line_of({"/p/one", "first"}) + "not json\n[1]\n" +
                R"({"file":"/p/one","type":"change","inserted":"x","deletedCount":-1.0,)"
                R"("offset":0,"causedByUndoRedo":false,"causedByCopyPaste":false,"isSaved":false})"
                "\n{\"file\":\"/p/one\"}\n" +
                line_of({"/p/one", "second"}));
    ASSERT_TRUE(published.wait_for(2));
    client.close();
    finish();
    std::string const out = testing::internal::GetCapturedStdout();

    auto const events = published.all();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].inserted, "first");
    EXPECT_EQ(events[1].inserted, "second");
    EXPECT_EQ(occurrences(out, "[VSCodeListener] message rejected: "), 4u) << out;
    EXPECT_NE(out.find("type must be string, but is null"), std::string::npos) << out;
    EXPECT_EQ(occurrences(out, "[VSCodeListener] extension disconnected\n"), 1u);
}

TEST_F(EditorChannel, ClosingConnectionsFinishesReceivedLinesAndWaitsForReaders) {
    open_and_start();
    UnixClient client(socket);
    client.send(line_of({"/p/one", "kept"}) + line_of({"/p/one", "partial"}).substr(0, 20));
    ASSERT_TRUE(published.wait_for(1));
    listener->stop();
    loop.join();
    // The client is still connected: the listener ends the connection itself.
    listener->close_connections();
    listener->close_connections();
    ASSERT_TRUE(bus.drain(5s));
    EXPECT_EQ(published.all().size(), 1u);
    EXPECT_THROW(UnixClient{socket}, std::runtime_error);  // shut down: nobody serves
    listener.reset();
    EXPECT_THROW(client.send(line_of({"/p/one", "late"})), std::runtime_error);
}

// Socket set-up and the accept loop.

TEST_F(EditorChannel, StaleSocketFileIsReplacedAndTheSocketIsOwnerOnly) {
    make_stale_socket(socket);
    ASSERT_TRUE(fs::is_socket(socket));
    open_and_start();
    struct stat status {};
    ASSERT_EQ(::stat(socket.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(exchange({{"/p/one", "served"}}).size(), 1u);
    finish();
}

TEST_F(EditorChannel, StopWhileWaitingShutsDownAndRemovesTheSocket) {
    testing::internal::CaptureStdout();
    open_and_start();
    ASSERT_TRUE(waited_until([&] { return listener->wait_count() >= 1; }));
    listener->stop();
    loop.join();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[VSCodeListener] initialized\n[VSCodeListener] started\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[VSCodeListener] stopped\n"), std::string::npos);
    EXPECT_NE(out.find("[VSCodeListener] server shuttting down...\n"), std::string::npos);
    EXPECT_EQ(out.find("quitting"), std::string::npos);
    EXPECT_FALSE(fs::exists(socket));
}

TEST_F(EditorChannel, PendingConnectionComesBeforeAPendingStop) {
    open();
    UnixClient client(socket);  // waits in the backlog
    listener->stop();
    EXPECT_EQ(listener->get_conn_status(), std::make_pair(false, true));

    testing::internal::CaptureStdout();
    listener->start();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[VSCodeListener] started\n[VSCodeListener] quitting...\n");
    // Quitting leaves the socket file; the owner removes it when it ends by a signal.
    EXPECT_TRUE(fs::exists(socket));
    listener->remove_socket_if_ours();
    EXPECT_FALSE(fs::exists(socket));
}

TEST_F(EditorChannel, SocketFileOfSomeoneElseIsNotRemoved) {
    open();
    fs::remove(socket);
    write_file(socket, "not ours");
    listener->remove_socket_if_ours();
    EXPECT_EQ(read_file(socket), "not ours");
}

TEST_F(EditorChannel, SecondInstanceIsRefusedAndTheFirstKeepsServing) {
    open_and_start();
    testing::internal::CaptureStdout();
    EXPECT_THROW(VSCodeListener(bus, db, ibuf, env, socket), StartupError);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[VSCodeListener] another monitor is already serving " + socket),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("[VSCodeListener] initialized"), std::string::npos);
    EXPECT_TRUE(fs::is_socket(socket));
    EXPECT_EQ(exchange({{"/p/one", "still here"}}).size(), 1u);
    finish();
}

TEST_F(EditorChannel, UnbindableSocketFailsConstructionWithTheStepAndTheReason) {
    socket = (dir / "missing" / "editor.sock").native();
    testing::internal::CaptureStdout();
    EXPECT_THROW(open(), StartupError);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        out.find("[VSCodeListener] bind failed for " + socket + ": No such file or directory\n"),
        std::string::npos)
        << out;
    EXPECT_EQ(out.find("[VSCodeListener] initialized"), std::string::npos);
}

// The message step.

TEST_F(EditorChannel, PrimingLoadsEveryTrackedFile) {
    fs::path const readable = dir / "a.txt";
    fs::path const unreadable = dir / "gone.txt";
    track({{readable, "0123456789"}, {unreadable, ""}});
    fs::remove(unreadable);
    testing::internal::CaptureStdout();
    open();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[VSCodeListener] updated insertion buffer for " + readable.native() +
                       " with size=10\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[VSCodeListener] updated insertion buffer for " + unreadable.native() +
                       " with size=0\n"),
              std::string::npos);
    EXPECT_EQ(mirror(readable), "0123456789");
    EXPECT_EQ(mirror(unreadable), "");
}

TEST_F(EditorChannel, OnlyPositionedUnsavedEditsOfTrackedFilesChangeTheMirror) {
    fs::path const tracked = dir / "a.txt";
    fs::path const other = dir / "b.txt";
    track({{tracked, "0123456789"}});
    write_file(other, "untracked");
    open_and_start();
    auto const events = exchange({{tracked.native(), "ab", 5, 3},
                                  {tracked.native(), "NOPOS", -1, 2},
                                  {tracked.native(), "SAVE", 0, 1, true},
                                  {other.native(), "zz", 0, 0},
                                  {(dir / "." / "a.txt").native(), "alias", 0, 0}});
    finish();

    EXPECT_EQ(mirror(tracked), "01234ab89");
    ASSERT_EQ(events.size(), 5u);
    EXPECT_TRUE(events[0].is_tracked);
    EXPECT_TRUE(events[1].is_tracked);
    EXPECT_EQ(events[1].offset, std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(events[2].is_tracked);
    EXPECT_TRUE(events[2].is_saved);
    // Not in the file map: published, not mirrored, yet known to the buffer from now on.
    EXPECT_FALSE(events[3].is_tracked);
    EXPECT_EQ(events[3].fid, file_id_of(other));
    EXPECT_EQ(mirror(other), "");
    // Another spelling of a tracked path is another document.
    EXPECT_FALSE(events[4].is_tracked);
}

TEST_F(EditorChannel, OffsetsAndCountsAreBytesOfUtf8Text) {
    fs::path const tracked = dir / "u.txt";
    track({{tracked, "é=1;"}});  // é is two bytes
    open_and_start();
    exchange({{tracked.native(), "ü", 2, 0}, {tracked.native(), "", 0, 2}});
    finish();
    EXPECT_EQ(mirror(tracked), "ü=1;");
}

TEST_F(EditorChannel, FileMapIsReadAfreshForEveryMessage) {
    fs::path const late = dir / "late.txt";
    write_file(late, "on disk");
    track({});
    open_and_start();
    EXPECT_FALSE(exchange({{late.native(), "q", 0}})[0].is_tracked);

    FileId const fid = file_id_of(late);
    write_file(tracked_map(), std::to_string(fid.first) + ";" + std::to_string(fid.second) + ";" +
                                  late.native() + "\n");
    testing::internal::CaptureStdout();
    // Never loaded: the mirror starts empty, so only an edit at its start applies; one further
    // in is beyond the mirror and ignored.
    auto const events = exchange({{late.native(), "r", 0}, {late.native(), "s", 5}});
    finish();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(events[0].is_tracked);
    EXPECT_TRUE(events[1].is_tracked);
    EXPECT_EQ(mirror(late), "r");
    EXPECT_NE(out.find("edit of " + late.native() + " at offset 5 ignored"), std::string::npos)
        << out;
}

TEST_F(EditorChannel, InternalCopyNeedsInsertedTextFoundInATrackedFile) {
    fs::path const source = dir / "source.txt";
    fs::path const target = dir / "target.txt";
    track({{source, "hello world"}, {target, ""}});
    open_and_start();
    testing::internal::CaptureStdout();
    auto const events = exchange({{target.native(), "", 0, 0},
                                  {target.native(), "", -1, 0, true},
                                  {target.native(), "world", 0},
                                  {target.native(), "elsewhere", 0}});
    finish();
    std::string const out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_FALSE(events[0].internal_copy);
    EXPECT_FALSE(events[1].internal_copy);
    EXPECT_TRUE(events[2].internal_copy);
    EXPECT_FALSE(events[3].internal_copy);
    // The search still runs, and is logged, for every message.
    EXPECT_EQ(occurrences(out, "[InsertionBuffer] checking if the following content exists"), 4u)
        << out;
    EXPECT_EQ(mirror(target), "elsewhereworld");
}

TEST_F(EditorChannel, HandleStoresOneRowPerEditorEvent) {
    fs::path const tracked = dir / "a.txt";
    track({{tracked, "some text"}});
    bus.subscribe(BaseEvent::Types::VSCODE_EVENT, [this](Event event) { listener->handle(event); });
    open_and_start();
    testing::internal::CaptureStdout();
    exchange({{tracked.native(), "text", 0, 0}, {tracked.native(), "", -1, 0, true}});
    finish();
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "[VSCodeListener] handler triggered\n"), 2u) << out;

    FileId const fid = file_id_of(tracked);
    auto const rows = sql_rows(dir / "events.sqlite3",
                               "SELECT type, filepath, fid, inserted, deleted, is_undo_redo, "
                               "is_copy_paste, internal_copy, copy_buf, is_saved "
                               "FROM vscode_events ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    std::string const fid_text = std::to_string(fid.first) + ";" + std::to_string(fid.second);
    EXPECT_EQ(rows[0],
              (SqlRow{"change", tracked.native(), fid_text, "text", "0", "0", "1", "1", "", "0"}));
    EXPECT_EQ(rows[1],
              (SqlRow{"save", tracked.native(), fid_text, "", "0", "0", "0", "0", "", "1"}));

    EXPECT_THROW(listener->handle(Event{FileEvent{}}), std::bad_variant_access);
}
