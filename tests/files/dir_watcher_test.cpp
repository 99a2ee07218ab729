#include "files/dir_watcher.hpp"

#include "support/temp_dir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Change {
    WatchId id;
    std::string dir;
    std::string name;
    FileAction action;
    std::string old_name;
    std::string content;  // the file as read inside the callback, for Modified
};

// Records every callback; the test thread waits, with a bound, for the change it expects.
class Recorder : public DirWatchListener {
public:
    explicit Recorder(bool read_content = false) : read_content_(read_content) {}

    void handleFileAction(WatchId id, std::string const& dir, std::string const& name,
                          FileAction action, std::string old_name) override {
        std::string content;
        if (read_content_ && action == FileActions::Modified) {
            content = read_file(dir + name);
        }
        if (on_change) {
            on_change();
        }
        std::lock_guard lock(mutex_);
        changes_.push_back({id, dir, name, action, std::move(old_name), std::move(content)});
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
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    std::size_t count(std::function<bool(Change const&)> const& match) {
        std::lock_guard lock(mutex_);
        return std::count_if(changes_.begin(), changes_.end(), match);
    }
    std::size_t count(std::string const& name, FileAction action) {
        return count([&](Change const& c) { return c.name == name && c.action == action; });
    }
    std::vector<Change> snapshot() {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    std::size_t size() {
        std::lock_guard lock(mutex_);
        return changes_.size();
    }

    std::function<void()> on_change;  // runs in the callback before recording

private:
    bool read_content_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Change> changes_;
};

void touch(fs::path const& path) {
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
}

class DirWatcherTest : public testing::Test {
protected:
    // Creates a fresh file in `dir` and waits for its Add: everything the kernel queued for this
    // watcher before has been reported by then.
    void settle(Recorder& recorder, std::string const& dir) {
        std::string const name = "settle-" + std::to_string(settles_++);
        touch(fs::path(dir) / name);
        ASSERT_TRUE(recorder.await(dir, name, FileActions::Add)) << name;
    }

    // Each test declares its watcher after every listener and everything the listeners' callbacks
    // use, so that the watcher's thread ends first.
    TempDir tmp;
    std::string const root = tmp.path().string();
    std::string const dir = root + "/";
    Recorder recorder{true};
    Recorder other;
    Recorder inner;
    int settles_ = 0;
};

}  // namespace

TEST_F(DirWatcherTest, ReportsAddCompletedWritesAndDeleteWithoutWaitingForWatch) {
    DirWatcher watcher;
    WatchId const id = watcher.add_watch(root, &recorder, false);
    ASSERT_GT(id, 0);
    std::string const big(4 << 20, 'x');  // written in many chunks
    write_file(tmp / "a.txt", big);
    auto const added = recorder.await(dir, "a.txt", FileActions::Add);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->id, id);
    auto const modified = recorder.await(dir, "a.txt", FileActions::Modified);
    ASSERT_TRUE(modified);
    EXPECT_EQ(modified->content, big);  // reported once the write was complete
    write_file(tmp / "a.txt", "second");
    fs::remove(tmp / "a.txt");
    ASSERT_TRUE(recorder.await(dir, "a.txt", FileActions::Delete));
    settle(recorder, dir);
    EXPECT_EQ(recorder.count("a.txt", FileActions::Add), 1u);
    EXPECT_EQ(recorder.count("a.txt", FileActions::Modified), 2u);  // one per write
    watcher.watch();
    watcher.watch();
    settle(recorder, dir);
}

TEST_F(DirWatcherTest, WriterThatKeepsTheFileOpenIsReportedOncePerBurst) {
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, false), 0);
    std::ofstream log(tmp / "app.log");
    log << "one\n" << std::flush;
    auto const first = recorder.await(dir, "app.log", FileActions::Modified);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->content, "one\n");
    log << "two\n";
    log.close();
    ASSERT_TRUE(recorder.await(dir, "app.log", FileActions::Modified));
    settle(recorder, dir);
    EXPECT_EQ(recorder.count("app.log", FileActions::Modified), 2u);
}

TEST_F(DirWatcherTest, RenameIsOneMovedWithTheOldName) {
    touch(tmp / "old.txt");
    fs::create_directories(tmp / "x/deep");
    touch(tmp / "x/deep/f");
    DirWatcher watcher;
    WatchId const id = watcher.add_watch(root, &recorder, true);
    ASSERT_GT(id, 0);
    fs::rename(tmp / "old.txt", tmp / "new.txt");
    auto const moved = recorder.await(dir, "new.txt", FileActions::Moved);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->old_name, "old.txt");
    EXPECT_EQ(moved->id, id);
    // Across directories of the watch the old name carries its directory.
    fs::rename(tmp / "x/deep/f", tmp / "x/g");
    auto const across = recorder.await(dir + "x/", "g", FileActions::Moved);
    ASSERT_TRUE(across);
    EXPECT_EQ(across->old_name, dir + "x/deep/f");
    // A renamed directory and everything below it are reported under the new name.
    fs::rename(tmp / "x", tmp / "y");
    auto const renamed = recorder.await(dir, "y", FileActions::Moved);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->old_name, "x");
    touch(tmp / "y/deep/h");
    ASSERT_TRUE(recorder.await(dir + "y/deep/", "h", FileActions::Add));
    settle(recorder, dir);
    EXPECT_EQ(recorder.count([](Change const& c) {
        return c.action == FileActions::Add || c.action == FileActions::Delete;
    }),
              2u);  // only h and the settling file
}

TEST_F(DirWatcherTest, RecursiveWatchReportsNewSubdirectoriesAndTheirEarlyFilesOnce) {
    DirWatcher watcher;
    WatchId const id = watcher.add_watch(root, &recorder, true);
    ASSERT_GT(id, 0);
    fs::create_directories(tmp / "a/b/c");
    touch(tmp / "a/b/c/f.txt");
    auto const file = recorder.await(dir + "a/b/c/", "f.txt", FileActions::Add);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->id, id);
    ASSERT_TRUE(recorder.await(dir, "a", FileActions::Add));
    ASSERT_TRUE(recorder.await(dir + "a/", "b", FileActions::Add));
    ASSERT_TRUE(recorder.await(dir + "a/b/", "c", FileActions::Add));
    write_file(tmp / "a/b/c/f.txt", "text");
    ASSERT_TRUE(recorder.await(dir + "a/b/c/", "f.txt", FileActions::Modified));
    settle(recorder, dir);
    for (char const* name : {"a", "b", "c", "f.txt"}) {
        EXPECT_EQ(recorder.count(name, FileActions::Add), 1u) << name;
    }
    // A deleted and recreated subdirectory is watched afresh.
    fs::remove_all(tmp / "a");
    ASSERT_TRUE(recorder.await(dir, "a", FileActions::Delete));
    fs::create_directories(tmp / "a/b");
    touch(tmp / "a/b/again");
    ASSERT_TRUE(recorder.await(dir + "a/b/", "again", FileActions::Add));
}

TEST_F(DirWatcherTest, FilesCreatedWhileANewSubdirectoryIsBeingWatchedAreReportedOnce) {
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, true), 0);
    // The watch of each new directory is added somewhere amid the creation of its files, which are
    // then seen both by the scan of the directory and by their own creation events.
    int const rounds = 5;
    int const files = 200;
    for (int round = 0; round < rounds; ++round) {
        auto const burst = tmp / ("burst" + std::to_string(round));
        fs::create_directory(burst);
        for (int i = 0; i < files; ++i) {
            touch(burst / std::to_string(i));
        }
    }
    settle(recorder, dir);
    std::map<std::string, int> adds;
    for (auto const& change : recorder.snapshot()) {
        if (change.action == FileActions::Add) {
            ++adds[change.dir + change.name];
        }
    }
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < files; ++i) {
            auto const path = fmt::format("{}burst{}/{}", dir, round, i);
            ASSERT_EQ(adds[path], 1) << path;
        }
    }
}

TEST_F(DirWatcherTest, NonRecursiveWatchReportsOnlyItsOwnEntries) {
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, false), 0);
    fs::create_directory(tmp / "sub");
    ASSERT_TRUE(recorder.await(dir, "sub", FileActions::Add));
    touch(tmp / "sub/inner");
    settle(recorder, dir);
    EXPECT_EQ(recorder.count("inner", FileActions::Add), 0u);
}

TEST_F(DirWatcherTest, MovesOutOfTheTreeAreDeletesAndMovesInAreAdds) {
    TempDir outside;
    fs::create_directories(tmp / "leaving");
    touch(tmp / "gone.txt");
    fs::create_directories(outside / "arriving/deeper");
    touch(outside / "arriving/deeper/inner.txt");
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, true), 0);

    fs::rename(tmp / "gone.txt", outside / "gone.txt");
    ASSERT_TRUE(recorder.await(dir, "gone.txt", FileActions::Delete));
    fs::rename(tmp / "leaving", outside / "leaving");
    ASSERT_TRUE(recorder.await(dir, "leaving", FileActions::Delete));
    touch(outside / "leaving/after-leaving");

    fs::rename(outside / "arriving", tmp / "arriving");
    ASSERT_TRUE(recorder.await(dir, "arriving", FileActions::Add));
    ASSERT_TRUE(recorder.await(dir + "arriving/deeper/", "inner.txt", FileActions::Add));
    write_file(tmp / "arriving/deeper/inner.txt", "now watched");
    ASSERT_TRUE(recorder.await(dir + "arriving/deeper/", "inner.txt", FileActions::Modified));
    settle(recorder, dir);
    EXPECT_EQ(recorder.count("after-leaving", FileActions::Add), 0u);
    EXPECT_EQ(recorder.count([](Change const& c) { return c.action == FileActions::Moved; }), 0u);
}

TEST_F(DirWatcherTest, FailedWatchesReturnNamedNegativeCodes) {
    DirWatcher watcher;
    EXPECT_EQ(watcher.add_watch(root + "/missing", &recorder, true),
              DirWatchErrors::MissingDirectory);
    touch(tmp / "plain");
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
}

TEST_F(DirWatcherTest, SameOrOverlappingDirectoriesKeepEveryWatch) {
    fs::create_directory(tmp / "sub");
    DirWatcher watcher;
    WatchId const first = watcher.add_watch(root, &recorder, true);
    ASSERT_GT(first, 0);
    EXPECT_EQ(watcher.add_watch(root, &recorder, true), first);
    WatchId const second = watcher.add_watch(dir, &other, false);
    WatchId const third = watcher.add_watch(root + "/sub", &inner, false);
    ASSERT_GT(second, 0);
    ASSERT_GT(third, 0);
    EXPECT_NE(second, first);
    EXPECT_NE(third, second);

    touch(tmp / "top");
    auto const mine = recorder.await(dir, "top", FileActions::Add);
    auto const theirs = other.await(dir, "top", FileActions::Add);
    ASSERT_TRUE(mine && theirs);
    EXPECT_EQ(mine->id, first);
    EXPECT_EQ(theirs->id, second);
    touch(tmp / "sub/low");
    auto const below = recorder.await(dir + "sub/", "low", FileActions::Add);
    auto const direct = inner.await(dir + "sub/", "low", FileActions::Add);
    ASSERT_TRUE(below && direct);
    EXPECT_EQ(below->id, first);
    EXPECT_EQ(direct->id, third);
}

TEST_F(DirWatcherTest, DeletedOrMovedRootEndsItsWatchWithOneLogLine) {
    fs::create_directory(tmp / "doomed");
    fs::create_directory(tmp / "wandering");
    Recorder& parent = other;
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &parent, false), 0);
    WatchId const doomed = watcher.add_watch(root + "/doomed", &recorder, true);
    WatchId const wandering = watcher.add_watch(root + "/wandering", &recorder, true);
    ASSERT_GT(doomed, 0);
    ASSERT_GT(wandering, 0);
    testing::internal::CaptureStdout();
    fs::remove(tmp / "doomed");
    fs::rename(tmp / "wandering", tmp / "elsewhere");
    settle(parent, dir);
    fs::create_directory(tmp / "doomed");
    touch(tmp / "doomed/new");
    touch(tmp / "elsewhere/new");
    settle(parent, dir);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(fmt::format("[FileListener] watched directory {}/doomed was deleted, "
                                   "watch {} ended\n",
                                   root, doomed)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(fmt::format("[FileListener] watched directory {}/wandering was moved, "
                                   "watch {} ended\n",
                                   root, wandering)),
              std::string::npos)
        << out;
    EXPECT_EQ(recorder.size(), 0u);
}

TEST_F(DirWatcherTest, CallbackHoldsNoWatcherLockWhileAnotherThreadAddsAWatch) {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool added = false;
    recorder.on_change = [&] {
        std::unique_lock lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return added; });
    };
    TempDir second;
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, false), 0);
    touch(tmp / "first");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return entered; }));
    }
    auto adding = std::async(std::launch::async,
                             [&] { return watcher.add_watch(second.path(), &other, true); });
    ASSERT_EQ(adding.wait_for(5s), std::future_status::ready);
    EXPECT_GT(adding.get(), 0);
    {
        std::lock_guard lock(mutex);
        added = true;
    }
    cv.notify_all();
    ASSERT_TRUE(recorder.await(dir, "first", FileActions::Add));
}

TEST_F(DirWatcherTest, DestructionWhileEventsFlowEndsReportingAtOnce) {
    Recorder& counted = other;
    auto flowing = std::make_unique<DirWatcher>();
    ASSERT_GT(flowing->add_watch(root, &counted, true), 0);
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
    bool const flowed = counted.await(dir, "f10", FileActions::Modified).has_value();
    flowing.reset();
    std::size_t const at_destruction = counted.size();
    for (int i = 0; i < 200; ++i) {
        touch(tmp / ("late" + std::to_string(i)));
    }
    writing = false;
    writer.join();
    EXPECT_TRUE(flowed);
    EXPECT_EQ(counted.size(), at_destruction);
}

TEST_F(DirWatcherTest, QueueOverflowIsLoggedOnceAndLaterSubdirectoriesStillReport) {
    std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
    int limit = 0;
    if (!(limit_file >> limit) || limit <= 0 || limit > 100000) {
        GTEST_SKIP() << "queue limit unknown or too large to fill";
    }
    Recorder& flooded = other;
    std::mutex mutex;
    std::condition_variable cv;
    bool blocked = false;
    bool released = false;
    flooded.on_change = [&] {
        std::unique_lock lock(mutex);
        if (!blocked) {
            blocked = true;
            cv.notify_all();
            cv.wait_for(lock, 30s, [&] { return released; });
        }
    };
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &flooded, true), 0);
    testing::internal::CaptureStdout();
    touch(tmp / "first");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return blocked; }));
    }
    for (int i = 0; i < limit; ++i) {  // two events each
        touch(tmp / ("n" + std::to_string(i)));
    }
    fs::create_directory(tmp / "late");  // its creation is lost with the overflow
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    cv.notify_all();
    // A probe may itself be lost while the queue is still full; the next one is not.
    bool probed = false;
    for (int i = 0; i < 100 && !probed; ++i) {
        std::string const name = "probe" + std::to_string(i);
        touch(tmp / name);
        probed = flooded.await(dir, name, FileActions::Add, 500ms).has_value();
    }
    ASSERT_TRUE(probed);
    touch(tmp / "late/x");
    EXPECT_TRUE(flooded.await(dir + "late/", "x", FileActions::Add));
    std::string const out = testing::internal::GetCapturedStdout();
    std::string const line = "[FileListener] the kernel's event queue overflowed";
    auto const first = out.find(line);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(line, first + 1), std::string::npos);
}
