#include "files/dir_watcher.hpp"

#include "support/temp_dir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Change {
    WatchId id;
    std::string dir, name;
    FileAction action;
    std::string old_name;
    std::string content;  // the file as read inside the callback, for Modified
};

// Records every callback; the test thread waits, with a bound, for the change it expects.
class Recorder : public DirWatchListener {
public:
    void handleFileAction(WatchId id, std::string const& dir, std::string const& name,
                          FileAction action, std::string old_name) override {
        std::string const content = action == FileActions::Modified ? read_file(dir + name) : "";
        if (on_change) {
            on_change();
        }
        std::lock_guard lock(mutex_);
        changes_.push_back({id, dir, name, action, std::move(old_name), content});
        cv_.notify_all();
    }
    std::optional<Change> await(std::string const& dir, std::string const& name, FileAction action,
                                std::chrono::milliseconds bound = 10s) {
        std::unique_lock lock(mutex_);
        std::optional<Change> found;
        cv_.wait_for(lock, bound, [&] {
            for (auto const& change : changes_) {
                if (change.dir == dir && change.name == name && change.action == action) {
                    found = change;
                }
            }
            return found.has_value();
        });
        return found;
    }
    std::vector<Change> snapshot() {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    std::size_t count(std::string const& name, FileAction action) {
        auto const all = snapshot();
        return std::count_if(all.begin(), all.end(),
                             [&](auto const& c) { return c.name == name && c.action == action; });
    }

    std::function<void()> on_change;  // runs in the callback before recording

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Change> changes_;
};

void touch(fs::path const& path) {
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
}

// Holds the watcher's thread inside its first callback until `release` is set, with a bound.
std::function<void()> hold_first(std::promise<void>& entered, std::shared_future<void> release) {
    auto first = std::make_shared<std::once_flag>();
    return [&entered, release, first] {
        std::call_once(*first, [&] {
            entered.set_value();
            release.wait_for(30s);
        });
    };
}

// Each test declares its watcher after every listener and everything the callbacks use, so that
// the watcher's thread ends first.
class DirWatcherTest : public testing::Test {
protected:
    // Creates a fresh file in `dir` and waits for its Add: everything the kernel queued for this
    // watcher before has been reported by then.
    void settle(Recorder& recorder, std::string const& in) {
        std::string const name = "settle-" + std::to_string(settles_++);
        touch(fs::path(in) / name);
        ASSERT_TRUE(recorder.await(in, name, FileActions::Add)) << name;
    }

    TempDir tmp;
    std::string const root = tmp.path().string();
    std::string const dir = root + "/";
    Recorder recorder, other, inner, ended;
    int settles_ = 0;
};

}  // namespace

// Reported without waiting for watch(): Add, one Modified per completed write (a writer that keeps
// the file open is reported once per burst), Delete; a non-recursive watch ignores its subtrees.
TEST_F(DirWatcherTest, ReportsAddCompletedWritesAndDeleteOfItsOwnEntries) {
    DirWatcher watcher;
    WatchId const id = watcher.add_watch(root, &recorder, false);
    ASSERT_GT(id, 0);
    std::string const big(4 << 20, 'x');  // written in many chunks
    write_file(tmp / "a.txt", big);
    EXPECT_EQ(recorder.await(dir, "a.txt", FileActions::Modified).value().content, big);
    EXPECT_EQ(recorder.await(dir, "a.txt", FileActions::Add).value().id, id);
    write_file(tmp / "a.txt", "second");
    fs::remove(tmp / "a.txt");
    ASSERT_TRUE(recorder.await(dir, "a.txt", FileActions::Delete));
    std::ofstream log(tmp / "app.log");
    log << "one\n" << std::flush;
    EXPECT_EQ(recorder.await(dir, "app.log", FileActions::Modified).value().content, "one\n");
    log << "two\n";
    log.close();
    fs::create_directory(tmp / "sub");
    touch(tmp / "sub/inner");
    watcher.watch();
    settle(recorder, dir);
    EXPECT_EQ(recorder.count("a.txt", FileActions::Add), 1u);
    EXPECT_EQ(recorder.count("a.txt", FileActions::Modified), 2u);
    EXPECT_EQ(recorder.count("app.log", FileActions::Modified), 2u);
    EXPECT_EQ(recorder.count("sub", FileActions::Add), 1u);
    EXPECT_EQ(recorder.count("inner", FileActions::Add), 0u);
}

TEST_F(DirWatcherTest, RecursiveWatchFollowsRenamesMovesAndNewSubdirectories) {
    TempDir outside;
    touch(tmp / "old.txt");
    fs::create_directories(tmp / "x/deep");
    touch(tmp / "x/deep/f");
    fs::create_directories(outside / "arriving/deeper");
    touch(outside / "arriving/deeper/inner.txt");
    DirWatcher watcher;
    WatchId const id = watcher.add_watch(root, &recorder, true);
    ASSERT_GT(id, 0);
    // A rename within the watch is one Moved; across directories the old name has its directory.
    fs::rename(tmp / "old.txt", tmp / "new.txt");
    auto const moved = recorder.await(dir, "new.txt", FileActions::Moved).value();
    EXPECT_EQ(std::tie(moved.old_name, moved.id), std::make_tuple("old.txt", id));
    fs::rename(tmp / "x/deep/f", tmp / "x/g");
    EXPECT_EQ(recorder.await(dir + "x/", "g", FileActions::Moved).value().old_name,
              dir + "x/deep/f");
    fs::rename(tmp / "x", tmp / "y");
    EXPECT_EQ(recorder.await(dir, "y", FileActions::Moved).value().old_name, "x");
    touch(tmp / "y/deep/h");
    ASSERT_TRUE(recorder.await(dir + "y/deep/", "h", FileActions::Add));
    // Moves out of the tree are Deletes; a move in is an Add of all it holds, watched from then on.
    fs::rename(tmp / "new.txt", outside / "new.txt");
    fs::rename(tmp / "y", outside / "y");
    fs::rename(outside / "arriving", tmp / "arriving");
    ASSERT_TRUE(recorder.await(dir, "new.txt", FileActions::Delete));
    ASSERT_TRUE(recorder.await(dir, "y", FileActions::Delete));
    touch(outside / "y/after-leaving");
    ASSERT_TRUE(recorder.await(dir + "arriving/deeper/", "inner.txt", FileActions::Add));
    write_file(tmp / "arriving/deeper/inner.txt", "now watched");
    ASSERT_TRUE(recorder.await(dir + "arriving/deeper/", "inner.txt", FileActions::Modified));
    // The watch of a new directory is added amid the creation of its files, which are then seen
    // both by the scan of the directory and by their own creation events: each is reported once.
    fs::create_directories(tmp / "a/b/c");
    touch(tmp / "a/b/c/f.txt");
    for (int round = 0; round < 5; ++round) {
        fs::create_directory(tmp / ("burst" + std::to_string(round)));
        for (int i = 0; i < 200; ++i) {
            touch(tmp / ("burst" + std::to_string(round)) / std::to_string(i));
        }
    }
    settle(recorder, dir);
    std::map<std::string, int> adds;
    int moves = 0;
    for (auto const& change : recorder.snapshot()) {
        adds[change.dir + change.name] += change.action == FileActions::Add;
        moves += change.action == FileActions::Moved;
    }
    EXPECT_EQ(moves, 3);
    for (auto const& path : {"a", "a/b", "a/b/c", "a/b/c/f.txt", "arriving", "arriving/deeper"}) {
        EXPECT_EQ(adds[dir + path], 1) << path;
    }
    EXPECT_EQ(adds[dir + "y/after-leaving"], 0);
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(adds[fmt::format("{}burst{}/{}", dir, round, i)], 1) << round << "/" << i;
        }
    }
    // A deleted and recreated subdirectory is watched afresh.
    fs::remove_all(tmp / "a");
    ASSERT_TRUE(recorder.await(dir, "a", FileActions::Delete));
    fs::create_directories(tmp / "a/b");
    touch(tmp / "a/b/again");
    ASSERT_TRUE(recorder.await(dir + "a/b/", "again", FileActions::Add));
}

// Overlapping watches each report; a watched root that is deleted or moved ends its watch with
// one log line and reports nothing more, even when a directory of its name reappears.
TEST_F(DirWatcherTest, FailedOverlappingAndEndedWatches) {
    for (char const* name : {"sub", "doomed", "wandering"}) {
        fs::create_directory(tmp / name);
    }
    touch(tmp / "plain");
    DirWatcher watcher;
    EXPECT_EQ(watcher.add_watch(root + "/missing", &recorder, true),
              DirWatchErrors::MissingDirectory);
    EXPECT_EQ(watcher.add_watch(root + "/plain", &recorder, false), DirWatchErrors::NotADirectory);
    EXPECT_EQ(watcher.add_watch(root, nullptr, false), DirWatchErrors::OtherFailure);
    EXPECT_EQ(dir_watch_error_text(DirWatchErrors::WatchLimitReached),
              "system watch limit reached");
    if (geteuid() != 0) {  // permissions do not stop root
        fs::create_directory(tmp / "closed");
        fs::permissions(tmp / "closed", fs::perms::none);
        EXPECT_EQ(watcher.add_watch(root + "/closed", &recorder, false),
                  DirWatchErrors::NotReadable);
    }
    WatchId const first = watcher.add_watch(root, &recorder, true);
    ASSERT_GT(first, 0);
    EXPECT_EQ(watcher.add_watch(root, &recorder, true), first);
    WatchId const second = watcher.add_watch(dir, &other, false);
    WatchId const third = watcher.add_watch(root + "/sub", &inner, false);
    WatchId const doomed = watcher.add_watch(root + "/doomed", &ended, true);
    WatchId const wandering = watcher.add_watch(root + "/wandering", &ended, true);
    EXPECT_TRUE(second > 0 && third > 0 && second != first && third != second);
    ASSERT_TRUE(doomed > 0 && wandering > 0);
    touch(tmp / "top");
    touch(tmp / "sub/low");
    EXPECT_EQ(recorder.await(dir, "top", FileActions::Add).value().id, first);
    EXPECT_EQ(other.await(dir, "top", FileActions::Add).value().id, second);
    EXPECT_EQ(recorder.await(dir + "sub/", "low", FileActions::Add).value().id, first);
    EXPECT_EQ(inner.await(dir + "sub/", "low", FileActions::Add).value().id, third);
    testing::internal::CaptureStdout();
    fs::remove(tmp / "doomed");
    fs::rename(tmp / "wandering", tmp / "elsewhere");
    settle(other, dir);
    fs::create_directory(tmp / "doomed");
    touch(tmp / "doomed/new");
    touch(tmp / "elsewhere/new");
    settle(other, dir);
    std::string const out = testing::internal::GetCapturedStdout();
    for (auto const& line :
         {fmt::format("[FileListener] watched directory {}/doomed was deleted, watch {} ended\n",
                      root, doomed),
          fmt::format("[FileListener] watched directory {}/wandering was moved, watch {} ended\n",
                      root, wandering)}) {
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    EXPECT_TRUE(ended.snapshot().empty());
}
TEST_F(DirWatcherTest, CallbackHoldsNoWatcherLockWhileAnotherThreadAddsAWatch) {
    std::promise<void> entered, release;
    recorder.on_change = hold_first(entered, release.get_future().share());
    TempDir second;
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, false), 0);
    touch(tmp / "first");
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    auto adding = std::async(std::launch::async,
                             [&] { return watcher.add_watch(second.path(), &other, true); });
    ASSERT_EQ(adding.wait_for(5s), std::future_status::ready);
    EXPECT_GT(adding.get(), 0);
    release.set_value();
    ASSERT_TRUE(recorder.await(dir, "first", FileActions::Add));
}

TEST_F(DirWatcherTest, DestructionWhileEventsFlowEndsReportingAtOnce) {
    auto flowing = std::make_unique<DirWatcher>();
    ASSERT_GT(flowing->add_watch(root, &recorder, true), 0);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; writing; ++i) {
            auto const path = tmp / ("f" + std::to_string(i % 50));
            write_file(path, "content");
            if (i % 3 == 0) {
                fs::remove(path);
            }
        }
    });
    bool const flowed = recorder.await(dir, "f10", FileActions::Modified).has_value();
    flowing.reset();
    std::size_t const at_destruction = recorder.snapshot().size();
    for (int i = 0; i < 200; ++i) {
        touch(tmp / ("late" + std::to_string(i)));
    }
    writing = false;
    writer.join();
    EXPECT_TRUE(flowed);
    EXPECT_EQ(recorder.snapshot().size(), at_destruction);
}

TEST_F(DirWatcherTest, QueueOverflowIsLoggedOnceAndLaterSubdirectoriesStillReport) {
    std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
    int limit = 0;
    if (!(limit_file >> limit) || limit <= 0 || limit > 100000) {
        GTEST_SKIP() << "queue limit unknown or too large to fill";
    }
    std::promise<void> entered, release;
    recorder.on_change = hold_first(entered, release.get_future().share());
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, true), 0);
    testing::internal::CaptureStdout();
    touch(tmp / "first");
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    for (int i = 0; i < limit; ++i) {  // two events each
        touch(tmp / ("n" + std::to_string(i)));
    }
    fs::create_directory(tmp / "late");  // its creation is lost with the overflow
    release.set_value();
    // A probe may itself be lost while the queue is still full; the next one is not.
    bool probed = false;
    for (int i = 0; i < 100 && !probed; ++i) {
        touch(tmp / ("probe" + std::to_string(i)));
        probed =
            recorder.await(dir, "probe" + std::to_string(i), FileActions::Add, 500ms).has_value();
    }
    ASSERT_TRUE(probed);
    touch(tmp / "late/x");
    EXPECT_TRUE(recorder.await(dir + "late/", "x", FileActions::Add));
    std::string const out = testing::internal::GetCapturedStdout();
    std::string const line = "[FileListener] the kernel's event queue overflowed";
    ASSERT_NE(out.find(line), std::string::npos) << out;
    EXPECT_EQ(out.find(line), out.rfind(line));
}
