#include "supervisors/save_wait.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using namespace std::chrono_literals;

namespace {

FileEvent change_of(std::string path, std::int64_t at) {
    FileEvent event;
    event.filepath = std::move(path);
    event.timestamp = Timestamp(std::chrono::nanoseconds(at));
    event.action = FileActions::Modified;
    return event;
}

}  // namespace

// A save takes back the changes of its file; a change left waiting is handed back once its bound
// is over and then recognised, with the mirror it was parked with, exactly once.
TEST(SaveWait, SavesTakeTheirFilesChangesTheRestExpireOnce) {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<FileEvent> handed_back;
    SaveWait wait(50ms, [&](FileEvent const& event) {
        std::lock_guard lock(mutex);
        handed_back.push_back(event);
        cv.notify_all();
    });
    wait.park(change_of("/p/a", 1), "mirror a1");
    wait.park(change_of("/p/b", 2), "mirror b");
    wait.park(change_of("/p//a", 3), "mirror a3");  // the same file, as a path

    auto const taken = wait.take("/p/a");
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].timestamp, change_of("", 1).timestamp);
    EXPECT_EQ(taken[1].timestamp, change_of("", 3).timestamp);
    EXPECT_FALSE(wait.expired(taken[0]));

    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return !handed_back.empty(); }));
    ASSERT_EQ(handed_back.size(), 1u);
    EXPECT_EQ(handed_back[0].filepath, "/p/b");
    EXPECT_EQ(wait.expired(handed_back[0]), "mirror b");
    EXPECT_FALSE(wait.expired(handed_back[0]));
    EXPECT_TRUE(wait.take("/p/b").empty());
    lock.unlock();

    // At the teardown nothing waits for its bound.
    SaveWait slow(1h, [&](FileEvent const& event) {
        std::lock_guard relock(mutex);
        handed_back.push_back(event);
    });
    slow.park(change_of("/p/c", 4), "mirror c");
    slow.expire_all();
    std::lock_guard relock(mutex);
    ASSERT_EQ(handed_back.size(), 2u);
    EXPECT_EQ(slow.expired(handed_back[1]), "mirror c");
}

// A judgement that reset a file's mirror rebases every event of that file still waiting or
// expired and not yet judged; the others keep theirs.
TEST(SaveWait, ARebaseReachesParkedAndExpiredEventsOfItsFileOnly) {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<FileEvent> handed_back;
    SaveWait wait(50ms, [&](FileEvent const& event) {
        std::lock_guard lock(mutex);
        handed_back.push_back(event);
        cv.notify_all();
    });
    wait.park(change_of("/p/a", 1), "before");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return !handed_back.empty(); }));
    }
    SaveWait later(std::chrono::hours(1), [](FileEvent const&) {});
    later.park(change_of("/p/a", 2), "before");
    later.park(change_of("/p/b", 3), "other");
    ASSERT_EQ(later.parked().size(), 2u);  // looking does not take
    wait.rebase("/p//a", "after");
    later.rebase("/p/a", "after");
    EXPECT_EQ(wait.expired(handed_back[0]), "after");
    later.expire_all();
    EXPECT_EQ(later.expired(change_of("/p/a", 2)), "after");
    EXPECT_EQ(later.expired(change_of("/p/b", 3)), "other");
}
