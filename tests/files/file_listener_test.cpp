#include "files/file_listener.hpp"
#include "support/captured_log.hpp"

#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

using namespace std::chrono_literals;

// A real listener on a real bus; handlers record what they see, the test awaits it with a bound.
class FileListenerTest : public testing::Test {
protected:
    ~FileListenerTest() override { bus.stop(); }  // no delivery to a destroyed listener

    // A handler that runs `first`, then records the event.
    std::function<void(FileEvent&)> record(std::function<void(FileEvent&)> first = {}) {
        return [this, first](FileEvent& event) {
            if (first) {
                first(event);
            }
            std::lock_guard lock(mutex);
            events.push_back(event);
            cv.notify_all();
        };
    }
    std::vector<FileEvent> await(std::size_t count) {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, 10s, [&] { return events.size() >= count; });
        return events;
    }

    TempDir dir;
    Env env = detect_env(dir.path(), false);
    EventBus bus;
    EventDB db{(dir / "events.sqlite3").native()};
    InsertionBuffer ibuf;
    FileListener files{bus, db, ibuf, env};
    std::function<void(FileEvent&)> const none = [](FileEvent&) {};
    std::pair<std::string, std::uint64_t> const route =
        bus.subscribe(BaseEvent::Types::FILE_EVENT, [this](Event e) { files.handle(e); });
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<FileEvent> events;
};

// Changes below "busy" are looked up on the bus worker while the main thread registers.
TEST_F(FileListenerTest, RegistryCreatesWhatIsMissingAndCoversByDepth) {
    write_file(dir / "kept", "content");
    capture_log();
    files.watch_creating(dir / "busy", record(), true);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; !done || i < 10; ++i) {
            write_file(dir / "busy/f", std::to_string(i));
        }
    });
    EXPECT_GT(files.watch_creating(dir / "kept", none, false), 0);
    WatchId const cfg = files.watch_creating(dir / "cfg/settings", none, false);
    WatchId const p = files.watch_creating(dir / "p", none, true);
    std::string const out = captured_log();
    EXPECT_LT(files.watch_existing(dir / "missing", none, false), 0);  // kept as the watcher said
    // A recursive entry covers its key and everything below it: nothing more is registered.
    for (auto const& covered : {dir / "p", dir / "p/sub"}) {
        EXPECT_EQ(files.watch_existing(covered, none, false), p) << covered;
        EXPECT_EQ(files.watch_creating(covered, none, true), p) << covered;
    }
    EXPECT_EQ(read_file(dir / "kept"), "content");
    EXPECT_EQ(files.find_if_already_watched(dir / "cfg/settings").value().second.wid, cfg);
    EXPECT_FALSE(files.find_if_already_watched(dir / "cfg/other"));
    EXPECT_FALSE(files.find_if_already_watched(dir / "p2/x"));  // p is only a text prefix
    EXPECT_EQ(files.find_if_already_watched(dir / "p/sub/x").value().first, dir / "p");
    EXPECT_TRUE(files.has_entry_with_prefix(dir / "mis"));
    files.unwatch(dir / "cfg");  // one of cfg and cfg/settings
    EXPECT_TRUE(files.has_entry_with_prefix(dir / "cfg"));
    files.unwatch(dir / "cfg");
    EXPECT_FALSE(files.has_entry_with_prefix(dir / "cfg"));
    done = true;
    writer.join();
    EXPECT_FALSE(await(1).empty());
    std::string const d = dir.path().native();
    for (auto const& line : {"creating file " + d + "/cfg/settings\n",
                             "watching directory " + d + "/cfg (recursive=false)\n",
                             "creating directory " + d + "/p success=true\n",
                             "watching pathprefix " + d + "/p (recursive=true)\n"}) {
        EXPECT_NE(out.find("[FileListener] " + line), std::string::npos) << line;
    }
    EXPECT_EQ(out.find("creating file " + d + "/kept"), std::string::npos);
}

TEST_F(FileListenerTest, DeliversToTheCoveringHandlerEvenAfterStop) {
    auto const cfg = dir / "d/cfg";
    auto store = record([&](FileEvent& event) { files.store(Event{event}); });
    // The first handler replaces its own entry while it runs.
    WatchId const wid = files.watch_creating(cfg, record([&](FileEvent&) {
                                                 files.unwatch(cfg);
                                                 files.watch_creating(cfg, store, false);
                                             }),
                                             false);
    files.start();
    write_file(dir / "d/other", "y");  // its directory's entry covers the directory only
    write_file(cfg, "1");
    ASSERT_EQ(await(1).size(), 1u);
    files.stop();
    write_file(cfg, "2");
    auto const got = await(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::tie(got[0].filepath, got[0].directory, got[0].action, got[0].wid, got[0].fid,
                       got[0].incident_type, got[0].old_filepath),
              std::make_tuple(cfg.native(), (dir / "d/").native(), FileActions::Modified, wid,
                              file_id_of(cfg), Incident::Types::NONE, ""));
    EXPECT_EQ(got[1].filepath, cfg.native());
    EXPECT_EQ(sql_rows(dir / "events.sqlite3", "SELECT COUNT(*) FROM file_events"), "1\n");
}

// Which registration covers a path: the one of the same path, else a recursive one above or below
// it in the order of registration; paths that share only a text prefix are unrelated.
TEST_F(FileListenerTest, CoveringRegistrationAmongNestedSiblingsAndSeveralCandidates) {
    for (auto const& sub : {"p/src", "p/src2", "p/src/deep/er", "q/r"}) {
        std::filesystem::create_directories(dir / sub);
    }
    WatchId const src = files.watch_existing(dir / "p/src", none, true);
    WatchId const src2 = files.watch_creating(dir / "p/src2/a.c", none, false);  // through p/src2
    WatchId const q = files.watch_existing(dir / "q", none, true);
    ASSERT_GT(src, 0);
    ASSERT_GT(src2, 0);
    ASSERT_GT(q, 0);
    auto key_of = [&](char const* path) -> std::string {
        auto const entry = files.find_if_already_watched(dir / path);
        return entry ? entry->first.lexically_relative(dir.path()).native() : "-";
    };
    EXPECT_EQ(key_of("p/src"), "p/src");
    EXPECT_EQ(key_of("p/src/deep/er/f.c"), "p/src");  // nested below a recursive entry
    EXPECT_EQ(key_of("p/src2/a.c"), "p/src2/a.c");    // not p/src: only a text prefix
    EXPECT_EQ(key_of("p/src2"), "p/src2");            // the directory's own entry
    EXPECT_EQ(key_of("p/src2/b.c"), "-");             // a non-recursive entry covers its key only
    EXPECT_EQ(key_of("p/src3"), "-");
    EXPECT_EQ(key_of("p"), "p/src");  // a recursive entry below covers it
    EXPECT_EQ(key_of("q/r/x"), "q");
    // A recursive entry registered below another one is dropped: the first one covers it.
    EXPECT_EQ(files.watch_existing(dir / "p/src/deep", none, true), src);
    // Several candidates above and below: a recursive entry below covers p, so p is not added.
    EXPECT_EQ(files.watch_existing(dir / "p", none, true), src);
    // The entry of the same path wins over a recursive one that also covers it.
    WatchId const file_in_q = files.watch_existing(dir / "q/r/own.c", none, false);
    EXPECT_EQ(file_in_q, q);
    EXPECT_EQ(key_of("q/r/own.c"), "q");
    // Prefix questions follow the text order of the keys.
    EXPECT_TRUE(files.has_entry_with_prefix(dir / "p/src2/a"));
    EXPECT_FALSE(files.has_entry_with_prefix(dir / "p/src2/b"));
    files.unwatch(dir / "p/src2/a.c");
    EXPECT_EQ(key_of("p/src2/a.c"), "-");
    EXPECT_EQ(key_of("p/src2"), "p/src2");
    files.unwatch(dir / "p/src");  // the first key with that text: p/src itself
    EXPECT_EQ(key_of("p/src/deep/er/f.c"), "-");
    EXPECT_EQ(key_of("q/r/x"), "q");
    // Two recursive entries below a path: the one registered first covers it, not the first in
    // the order of their texts.
    std::filesystem::create_directories(dir / "m/zeta");
    std::filesystem::create_directories(dir / "m/alpha");
    ASSERT_GT(files.watch_existing(dir / "m/zeta", none, true), 0);
    ASSERT_GT(files.watch_existing(dir / "m/alpha", none, true), 0);
    EXPECT_EQ(key_of("m"), "m/zeta");
    EXPECT_EQ(key_of("m/alpha/x"), "m/alpha");
    EXPECT_EQ(key_of("m/zeta2"), "-");
}

// The data directory's other files are set aside as they are reported: no handler runs for them.
TEST_F(FileListenerTest, SetAsideChangesReachNoHandler) {
    std::filesystem::create_directories(dir / "data");
    WatchId const wid = files.watch_creating(dir / "data/map", record(), false);
    files.set_aside(wid, dir / "data", "map");
    files.watch_creating(dir / "data/db", record(),
                         false);  // would be covered, but it is set aside
    files.start();
    write_file(dir / "data/db", "x");
    write_file(dir / "data/map", "1;2;/p\n");
    auto const got = await(1);
    ASSERT_GE(got.size(), 1u);
    for (auto const& event : got) {
        EXPECT_EQ(event.filepath, (dir / "data/map").native());
    }
}
