#include "files/dir_watcher.hpp"
#include "support/captured_log.hpp"

#include "support/temp_dir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <thread>

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

// Records every callback; the test thread waits, with a bound, for the change it expects. While
// held, callbacks keep the watcher's thread inside them.
class Recorder : public DirWatchListener {
public:
    void handleFileAction(WatchId id, std::string const& dir, std::string const& name,
                          FileAction action, std::string old_name) override {
        std::string const content = action == FileActions::Modified ? read_file(dir + name) : "";
        std::unique_lock lock(mutex_);
        held_ = hold_;
        cv_.notify_all();
        cv_.wait_for(lock, 30s, [&] { return !hold_; });
        changes_.push_back({id, dir, name, action, std::move(old_name), content});
        threads_.insert(std::this_thread::get_id());
        cv_.notify_all();
    }
    void handleBatchEnd() override {
        std::lock_guard lock(mutex_);
        batch_ends_.push_back(changes_.size());
        threads_.insert(std::this_thread::get_id());
        cv_.notify_all();
    }
    // For each batch end so far, how many changes had been reported before it.
    std::vector<std::size_t> batch_ends() {
        std::lock_guard lock(mutex_);
        return batch_ends_;
    }
    // How many threads have called back.
    std::size_t threads() {
        std::lock_guard lock(mutex_);
        return threads_.size();
    }
    // Waits, at most `bound`, until every change reported so far is followed by a batch end.
    bool await_batch_end(std::chrono::milliseconds bound = 10s) {
        return wait(bound,
                    [&] { return !batch_ends_.empty() && batch_ends_.back() == changes_.size(); });
    }
    // The last such change; one with the id 0 when none came within `bound`.
    Change await(std::string const& dir, std::string const& name, FileAction action,
                 std::chrono::milliseconds bound = 10s) {
        Change found{};
        wait(bound, [&] {
            for (auto const& change : changes_) {
                found = change.dir == dir && change.name == name && change.action == action ? change
                                                                                            : found;
            }
            return found.id != 0;
        });
        return found;
    }
    // The `n`th such change (from 1); one with the id 0 when it did not come within `bound`.
    Change await_nth(std::string const& dir, std::string const& name, FileAction action,
                     std::size_t n, std::chrono::milliseconds bound = 10s) {
        Change found{};
        wait(bound, [&] {
            std::size_t seen = 0;
            for (auto const& change : changes_) {
                if (change.dir == dir && change.name == name && change.action == action &&
                    ++seen == n) {
                    found = change;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::vector<Change> snapshot() {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    void hold(bool on) {
        std::lock_guard lock(mutex_);
        hold_ = on;
        cv_.notify_all();
    }
    bool held() {
        return wait(10s, [&] { return held_; });
    }

private:
    template <typename F>
    bool wait(std::chrono::milliseconds bound, F condition) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, condition);
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Change> changes_;
    std::vector<std::size_t> batch_ends_;
    std::set<std::thread::id> threads_;
    bool hold_ = false, held_ = false;
};

void touch(fs::path const& path) {
    write_file(path, "");
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
        ASSERT_GT(recorder.await(in, name, FileActions::Add).id, 0) << name;
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
    EXPECT_EQ(recorder.await(dir, "a.txt", FileActions::Modified).content, big);
    EXPECT_EQ(recorder.await(dir, "a.txt", FileActions::Add).id, id);
    write_file(tmp / "a.txt", "second");
    fs::remove(tmp / "a.txt");
    ASSERT_GT(recorder.await(dir, "a.txt", FileActions::Delete).id, 0);
    std::ofstream log(tmp / "app.log");
    log << "one\n" << std::flush;
    EXPECT_EQ(recorder.await(dir, "app.log", FileActions::Modified).content, "one\n");
    log << "two\n";
    log.close();
    fs::create_directory(tmp / "sub");
    touch(tmp / "sub/inner");
    watcher.watch();
    settle(recorder, dir);
    std::map<std::string, int> seen;
    for (auto const& change : recorder.snapshot()) {
        seen[change.name + " " + action2str(change.action)] += 1;
    }
    for (auto const& [what, times] : {std::pair{"a.txt Add", 1},
                                      {"a.txt Modified", 2},
                                      {"app.log Modified", 2},
                                      {"sub Add", 1},
                                      {"inner Add", 0}}) {
        EXPECT_EQ(seen[what], times) << what;
    }
}

// A quiet directory: a file written and kept open (a database's journal) is reported once it is
// closed, not while it is written; the kept file (the map) is reported as before, also while its
// writer keeps it open, and so is a kept file that replaced the first one.
TEST_F(DirWatcherTest, QuietDirectoryReportsOpenWritesOfItsKeptFileAlone) {
    write_file(tmp / "map", "a\n");
    DirWatcher watcher;
    WatchId const id = watcher.add_watch(root, &recorder, false);
    ASSERT_GT(id, 0);
    watcher.quiet_open_writes(id, "map");
    watcher.watch();

    std::ofstream journal(tmp / "journal");
    journal << "frame\n" << std::flush;
    std::ofstream map(tmp / "map", std::ios::app);
    map << "b\n" << std::flush;
    EXPECT_EQ(recorder.await(dir, "map", FileActions::Modified).content, "a\nb\n");
    settle(recorder, dir);
    // Long past the quiet period that would have reported the journal's write.
    EXPECT_EQ(recorder.await(dir, "journal", FileActions::Modified, 1500ms).id, 0);
    journal.close();
    EXPECT_EQ(recorder.await(dir, "journal", FileActions::Modified).content, "frame\n");
    map.close();

    // The map replaced by a new file, which is then written in place.
    write_file(tmp / "map.new", "c\n");
    fs::rename(tmp / "map.new", tmp / "map");
    ASSERT_GT(recorder.await(dir, "map", FileActions::Moved).id, 0);
    std::ofstream replaced(tmp / "map", std::ios::app);
    replaced << "d\n" << std::flush;
    // After the one at its quiet moment and the one at its close.
    EXPECT_EQ(recorder.await_nth(dir, "map", FileActions::Modified, 3).content, "c\nd\n");
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
    auto const moved = recorder.await(dir, "new.txt", FileActions::Moved);
    EXPECT_EQ(std::tie(moved.old_name, moved.id), std::make_tuple("old.txt", id));
    fs::rename(tmp / "x/deep/f", tmp / "x/g");
    EXPECT_EQ(recorder.await(dir + "x/", "g", FileActions::Moved).old_name, dir + "x/deep/f");
    fs::rename(tmp / "x", tmp / "y");
    EXPECT_EQ(recorder.await(dir, "y", FileActions::Moved).old_name, "x");
    touch(tmp / "y/deep/h");
    ASSERT_GT(recorder.await(dir + "y/deep/", "h", FileActions::Add).id, 0);
    // Moves out of the tree are Deletes; a move in is an Add of all it holds, watched from then on.
    fs::rename(tmp / "new.txt", outside / "new.txt");
    fs::rename(tmp / "y", outside / "y");
    fs::rename(outside / "arriving", tmp / "arriving");
    ASSERT_GT(recorder.await(dir, "new.txt", FileActions::Delete).id, 0);
    ASSERT_GT(recorder.await(dir, "y", FileActions::Delete).id, 0);
    touch(outside / "y/after-leaving");
    ASSERT_GT(recorder.await(dir + "arriving/deeper/", "inner.txt", FileActions::Add).id, 0);
    write_file(tmp / "arriving/deeper/inner.txt", "now watched");
    ASSERT_GT(recorder.await(dir + "arriving/deeper/", "inner.txt", FileActions::Modified).id, 0);
    // The watch of a new directory is added amid the creation of its files, which are then seen
    // both by the scan of the directory and by their own creation events: each is reported once.
    fs::create_directories(tmp / "a/b/c");
    touch(tmp / "a/b/c/f.txt");
    for (int i = 0; i < 1000; ++i) {
        fs::create_directories(tmp / fmt::format("burst{}", i / 200));
        touch(tmp / fmt::format("burst{}/{}", i / 200, i % 200));
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
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(adds[fmt::format("{}burst{}/{}", dir, i / 200, i % 200)], 1) << i;
    }
    // A deleted and recreated subdirectory is watched afresh.
    fs::remove_all(tmp / "a");
    ASSERT_GT(recorder.await(dir, "a", FileActions::Delete).id, 0);
    fs::create_directories(tmp / "a/b");
    touch(tmp / "a/b/again");
    ASSERT_GT(recorder.await(dir + "a/b/", "again", FileActions::Add).id, 0);
}

// A folder moved in is reported, with all it holds, in one batch: the batch's end comes after its
// last file, once, on the reporting thread, and only to the listener that got the reports.
TEST_F(DirWatcherTest, AFolderMovedInIsReportedInOneBatchEndedOnce) {
    TempDir outside;
    fs::create_directories(outside / "checkout/pkg");
    for (int i = 0; i < 50; ++i) {
        touch(outside / fmt::format("checkout/pkg/m{}.py", i));
    }
    fs::create_directory(tmp / "quiet");
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, true), 0);
    ASSERT_GT(watcher.add_watch(dir + "quiet", &other, false), 0);
    fs::rename(outside / "checkout", tmp / "checkout");
    ASSERT_GT(recorder.await(dir + "checkout/pkg/", "m49.py", FileActions::Add).id, 0);
    ASSERT_TRUE(recorder.await_batch_end());
    std::vector<Change> const changes = recorder.snapshot();
    std::size_t const folder = static_cast<std::size_t>(
        std::find_if(changes.begin(), changes.end(),
                     [&](Change const& change) { return change.name == "checkout"; }) -
        changes.begin());
    ASSERT_EQ(changes.size(), folder + 52);  // the folder, pkg and its 50 files
    std::vector<std::size_t> const ends = recorder.batch_ends();
    EXPECT_EQ(
        std::count_if(ends.begin(), ends.end(), [&](std::size_t end) { return end > folder; }), 1);
    EXPECT_EQ(recorder.threads(), 1u);
    EXPECT_TRUE(other.batch_ends().empty());
}

// A watched directory renamed, then watched under its new name before the watcher has read the
// rename (one kernel descriptor for both watches): the move ends the old watch only.
TEST_F(DirWatcherTest, ARenamedDirectoryWatchedAgainUnderItsNewNameKeepsReporting) {
    fs::create_directory(tmp / "before");
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(dir + "before", &recorder, false), 0);
    recorder.hold(true);
    touch(tmp / "before/first");
    ASSERT_TRUE(recorder.held());  // the watcher's thread waits in the callback
    fs::rename(tmp / "before", tmp / "after");
    ASSERT_GT(watcher.add_watch(dir + "after", &other, false), 0);
    recorder.hold(false);
    touch(tmp / "after/second");
    EXPECT_GT(other.await(dir + "after/", "second", FileActions::Add).id, 0);
}

// A sync returns once everything queued before it has been reported, batch end included; it gives
// up after its bound while the watcher's thread is held in a callback.
TEST_F(DirWatcherTest, ASyncReturnsOnceEverythingQueuedBeforeItIsReported) {
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(dir, &recorder, false), 0);
    constexpr int kFiles = 50;
    for (int n = 0; n < kFiles; ++n) {
        touch(tmp / ("f" + std::to_string(n)));
    }
    ASSERT_TRUE(watcher.sync(10s));
    std::vector<Change> const seen = recorder.snapshot();
    for (int n = 0; n < kFiles; ++n) {
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](Change const& change) {
            return change.name == "f" + std::to_string(n) && change.action == FileActions::Add;
        })) << n;
    }
    ASSERT_FALSE(recorder.batch_ends().empty());
    EXPECT_EQ(recorder.batch_ends().back(), seen.size());

    recorder.hold(true);
    touch(tmp / "late");
    ASSERT_TRUE(recorder.held());
    EXPECT_FALSE(watcher.sync(50ms));
    recorder.hold(false);
    EXPECT_TRUE(watcher.sync(10s));
    EXPECT_GT(recorder.await(dir, "late", FileActions::Add, 0ms).id, 0);
}

// A watched directory deleted and made anew, then watched again before the watcher has read the
// deletion: the new directory gets a watch of its own, which the old one's end leaves running.
TEST_F(DirWatcherTest, ADirectoryMadeAnewAndWatchedAgainBeforeItsDeletionIsReadKeepsReporting) {
    fs::create_directory(tmp / "pkg");
    DirWatcher watcher;
    WatchId const old_id = watcher.add_watch(dir + "pkg", &recorder, false);
    ASSERT_GT(old_id, 0);
    recorder.hold(true);
    touch(tmp / "pkg/first");
    ASSERT_TRUE(recorder.held());  // the watcher's thread waits in the callback
    fs::remove_all(tmp / "pkg");
    fs::create_directory(tmp / "pkg");
    WatchId const new_id = watcher.add_watch(dir + "pkg", &recorder, false);
    EXPECT_GT(new_id, 0);
    EXPECT_NE(new_id, old_id);
    capture_log();
    recorder.hold(false);
    touch(tmp / "pkg/second");
    EXPECT_EQ(recorder.await(dir + "pkg/", "second", FileActions::Add).id, new_id);
    captured_log();
}

// Overlapping watches each report; a watched root that is deleted or moved ends its watch with
// one log line and reports nothing more, even when a directory of its name reappears.
TEST_F(DirWatcherTest, FailedOverlappingAndEndedWatches) {
    for (char const* name : {"sub", "doomed", "wandering"}) {
        fs::create_directory(tmp / name);
    }
    touch(tmp / "plain");
    DirWatcher watcher;
    EXPECT_EQ(watcher.add_watch(root + "/plain", &recorder, false), DirWatchErrors::NotADirectory);
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
    EXPECT_EQ(recorder.await(dir, "top", FileActions::Add).id, first);
    EXPECT_EQ(other.await(dir, "top", FileActions::Add).id, second);
    EXPECT_EQ(recorder.await(dir + "sub/", "low", FileActions::Add).id, first);
    EXPECT_EQ(inner.await(dir + "sub/", "low", FileActions::Add).id, third);
    capture_log();
    fs::remove(tmp / "doomed");
    fs::rename(tmp / "wandering", tmp / "elsewhere");
    settle(other, dir);
    fs::create_directory(tmp / "doomed");
    touch(tmp / "doomed/new");
    touch(tmp / "elsewhere/new");
    settle(other, dir);
    std::string const out = captured_log();
    for (auto const& line :
         {fmt::format("[FileListener] watched directory {}/doomed was deleted, watch {} ended\n",
                      root, doomed),
          fmt::format("[FileListener] watched directory {}/wandering was moved, watch {} ended\n",
                      root, wandering)}) {
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    EXPECT_TRUE(ended.snapshot().empty());
}

// Handlers add watches; the watcher's thread must not hold its lock while it calls them.
TEST_F(DirWatcherTest, CallbackHoldsNoWatcherLockWhileAnotherThreadAddsAWatch) {
    recorder.hold(true);
    TempDir second;
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, false), 0);
    touch(tmp / "first");
    ASSERT_TRUE(recorder.held());
    auto adding = std::async(std::launch::async,
                             [&] { return watcher.add_watch(second.path(), &other, true); });
    ASSERT_EQ(adding.wait_for(5s), std::future_status::ready);
    EXPECT_GT(adding.get(), 0);
    recorder.hold(false);
    ASSERT_GT(recorder.await(dir, "first", FileActions::Add).id, 0);
}

// The kernel drops changes once this watcher's queue is full and says so once. What was lost is
// not reported, but a directory created among the lost changes is watched from then on.
TEST_F(DirWatcherTest, AfterAQueueOverflowNewSubdirectoriesAreWatched) {
    std::size_t queue_limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
    if (queue_limit == 0 || queue_limit > 200'000) {
        GTEST_SKIP() << "kernel queue limit " << queue_limit;
    }
    DirWatcher watcher;
    ASSERT_GT(watcher.add_watch(root, &recorder, true), 0);
    capture_log();
    // The watcher's thread waits in its first callback while the kernel queue fills up.
    recorder.hold(true);
    touch(tmp / "first");
    ASSERT_TRUE(recorder.held());
    fs::path const churn = tmp / "churn";
    for (std::size_t events = 0; events < queue_limit + 100; events += 3) {
        touch(churn);  // created, written
        fs::remove(churn);
    }
    fs::create_directories(tmp / "late/deeper");
    recorder.hold(false);
    // Changes are lost until the watcher has read the full queue: one is seen again from then on.
    bool seen_again = false;
    for (int i = 0; i < 40 && !seen_again; ++i) {
        std::string const name = "again-" + std::to_string(i);
        touch(tmp / name);
        seen_again = recorder.await(dir, name, FileActions::Add, 500ms).id > 0;
    }
    ASSERT_TRUE(seen_again);
    touch(tmp / "late/deeper/after");
    EXPECT_GT(recorder.await(dir + "late/deeper/", "after", FileActions::Add).id, 0);
    std::string const out = captured_log();
    std::string const line =
        "[FileListener] the kernel's event queue overflowed: file changes were lost\n";
    ASSERT_NE(out.find(line), std::string::npos) << out;
    EXPECT_EQ(out.find(line), out.rfind(line)) << out;
}
