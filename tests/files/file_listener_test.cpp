#include "files/file_listener.hpp"

#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// File events seen by handlers on the bus worker; the test thread awaits them with a bound.
struct Seen {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<FileEvent> events;
    void push(FileEvent const& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
        cv.notify_all();
    }
    bool await(std::size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return events.size() >= count; });
    }
};

class FileListenerTest : public testing::Test {
protected:
    FileListenerTest() {
        bus.subscribe(BaseEvent::Types::FILE_EVENT, [this](Event e) { files.handle(e); });
    }
    ~FileListenerTest() override { bus.stop(); }  // no delivery to a destroyed listener

    TempDir dir;
    Env env = detect_env(dir.path(), false);
    EventBus bus;
    EventDB db{(dir / "events.sqlite3").native()};
    InsertionBuffer ibuf;
    FileListener files{bus, db, ibuf, env};
    std::function<void(FileEvent&)> const none = [](FileEvent&) {};
};

}  // namespace

TEST(FileListenerPaths, DepthIsLevelsBelowAndPrefixesThatAreNoAncestorsAreUnrelated) {
    struct Row {
        char const *a, *b;
        std::optional<int> depth;
        bool contains;
    } const rows[] = {
        {"/p", "/p", 0, true},           {"/p", "/p/a/b.c", 2, true},
        {"/p/a/b.c", "/p", -2, false},   {"/p", "/q", std::nullopt, false},
        {"/p", "/p/", 1, true},          {"/p/", "/p", -1, false},
        {"/p/src", "/p/src2", {}, true}, {"/d/filemap.bak", "/d/filemap", {}, false},
        {"src", "src2", {}, true},       {"", "/x", {}, true},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(FileListener::get_contained_depth(row.a, row.b), row.depth) << row.a << row.b;
        EXPECT_EQ(FileListener::path_contains(row.a, row.b), row.contains) << row.a << row.b;
    }
}

TEST_F(FileListenerTest, RegistryCoversByDepthAndKeepsTheFirstWatch) {
    fs::create_directories(dir / "p/sub");
    fs::create_directories(dir / "n");
    testing::internal::CaptureStdout();
    WatchId const p = files.watch(dir / "p", true, none);
    ASSERT_GT(p, 0);
    for (auto const& covered : {dir / "p", dir / "p/sub", dir.path(), fs::path("/")}) {
        EXPECT_EQ(files.watch(covered, false, none), p) << covered;
        EXPECT_EQ(files.watch(covered, none, true), p) << covered;
    }
    EXPECT_LT(files.watch(dir / "missing", false, none), 0);  // stored as the watcher said
    EXPECT_GT(files.watch(dir / "n", false, none), 0);
    EXPECT_EQ(files.find_if_already_watched(dir / "n").value().first, dir / "n");
    EXPECT_FALSE(files.find_if_already_watched(dir / "n/x"));
    EXPECT_EQ(files.find_if_already_watched(dir / "p/sub/x").value().first, dir / "p");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              fmt::format("[FileListener] watching directory {0}/p (recursive=true)\n"
                          "[FileListener] watching directory {0}/missing (recursive=false)\n"
                          "[FileListener] watching directory {0}/n (recursive=false)\n",
                          dir.path().native()));
    // Unwatch drops exactly one entry at or below the text; is_tracked is a text prefix too.
    EXPECT_TRUE(files.is_tracked(dir / "p"));
    EXPECT_TRUE(files.is_tracked(dir / "mis"));
    files.unwatch(dir / "p");
    files.unwatch(dir / "p");
    EXPECT_FALSE(files.is_tracked(dir / "p"));
    EXPECT_EQ(files.find_if_already_watched(dir / "p/sub/x"), std::nullopt);
}

TEST_F(FileListenerTest, CreatesWhatIsMissingAndNeverTruncates) {
    write_file(dir / "kept", "content");
    testing::internal::CaptureStdout();
    WatchId const kept = files.watch(dir / "kept", none, false);
    WatchId const cfg = files.watch(dir / "cfg/settings", none, false);
    files.watch(dir / "new/d", none, true);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file(dir / "kept"), "content");
    EXPECT_EQ(read_file(dir / "cfg/settings"), "");
    EXPECT_TRUE(fs::is_directory(dir / "new/d"));
    EXPECT_EQ(files.find_if_already_watched(dir / "cfg/settings").value().second.wid, cfg);
    EXPECT_FALSE(files.find_if_already_watched(dir / "cfg/other"));
    EXPECT_TRUE(files.find_if_already_watched(dir / "new/d/x").value().second.recursive);
    EXPECT_GT(kept, 0);
    std::string const d = dir.path().native();
    EXPECT_EQ(out, "[FileListener] watching directory " + d + " (recursive=false)\n" +
                       "[FileListener] watching pathprefix " + d + "/kept (recursive=false)\n" +
                       "[FileListener] creating file " + d + "/cfg/settings\n" +
                       "[FileListener] watching directory " + d + "/cfg (recursive=false)\n" +
                       "[FileListener] watching pathprefix " + d +
                       "/cfg/settings (recursive=false)\n" + "[FileListener] creating directory " +
                       d + "/new/d success=true\n" + "[FileListener] watching directory " + d +
                       "/new/d (recursive=true)\n" + "[FileListener] watching pathprefix " + d +
                       "/new/d (recursive=true)\n");
}

TEST_F(FileListenerTest, DeliversToTheCoveringHandlerEvenAfterStop) {
    auto const cfg = dir / "d/cfg";
    fs::create_directories(dir / "m");
    write_file(dir / "m/a", "a");
    write_file(dir / "d/other", "x");
    Seen seen;
    std::function<void(FileEvent&)> const record = [&](FileEvent& e) {
        e.handler_type = FileEvent::Handlers::TRACKEDFILE;
        files.store(Event{e});
        seen.push(e);
    };
    // The first handler replaces its own entry while it runs.
    WatchId const wid = files.watch(
        cfg,
        [&](FileEvent& e) {
            files.unwatch(cfg);
            files.watch(cfg, record, false);
            seen.push(e);
        },
        false);
    files.watch(dir / "m", true, record);
    testing::internal::CaptureStdout();
    files.start();
    write_file(dir / "d/other", "y");  // its directory's entry covers the directory only
    write_file(cfg, "1");
    ASSERT_TRUE(seen.await(1));
    files.stop();
    write_file(cfg, "2");
    fs::rename(dir / "m/a", dir / "m/b");
    ASSERT_TRUE(seen.await(3));
    testing::internal::GetCapturedStdout();
    FileEvent const first = seen.events[0];
    EXPECT_EQ(first.filepath, cfg.native());
    EXPECT_EQ(first.directory, (dir / "d").native() + "/");
    EXPECT_EQ(first.action, FileActions::Modified);
    EXPECT_EQ(first.wid, wid);
    EXPECT_EQ(first.fid, file_id_of(cfg));
    EXPECT_EQ(first.incident_type, Incident::Types::NONE);
    EXPECT_EQ(seen.events[1].filepath, cfg.native());
    EXPECT_EQ(seen.events[2].filepath, (dir / "m/b").native());
    EXPECT_EQ(seen.events[2].old_filepath, "a");
    EXPECT_EQ(seen.events[2].action, FileActions::Moved);
    EXPECT_EQ(sql_rows(dir / "events.sqlite3", "SELECT COUNT(*) FROM file_events")[0][0], "2");
}

// Changes are delivered from the first watch on, while the main thread still registers.
TEST_F(FileListenerTest, LookupsOverlapRegistrationSafely) {
    Seen seen;
    files.watch(
        dir / "busy", [&](FileEvent& e) { seen.push(e); }, true);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; !done || i < 10; ++i) {
            write_file(dir / "busy/f", std::to_string(i));
        }
    });
    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) {
        files.watch(
            dir / "many" / std::to_string(i), [](FileEvent&) {}, false);
    }
    testing::internal::GetCapturedStdout();
    done = true;
    writer.join();
    EXPECT_TRUE(seen.await(1));
}
