#include "events/event_bus.hpp"
#include "support/captured_log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

static FileEvent file_event(std::string path) {
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.filepath = std::move(path);
    return event;
}

// Handlers write `seen` on the worker; the test reads it only after a drain or the worker's end.
TEST(EventBus, DeliversInOrderACopyPerHandlerAndOutlivesFailingHandlers) {
    EventBus bus;
    std::vector<std::string> seen;
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        auto& file = std::get<FileEvent>(event);
        seen.push_back("1:" + file.filepath + file.handler_type);
        file.handler_type = "+changed";
        if (file.filepath == "bad") {
            throw std::runtime_error("disk on fire");
        }
    });
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        auto const& file = std::get<FileEvent>(event);
        seen.push_back("2:" + file.filepath + file.handler_type);
    });
    bus.set_idle_hook([&] { seen.push_back("idle"); });
    capture_log();
    bus.publish(file_event("bad"));
    VSCodeEvent editor;
    editor.type = BaseEvent::Types::VSCODE_EVENT;
    bus.publish(editor);
    bus.publish(file_event("b"));
    ASSERT_TRUE(bus.drain(5s));
    std::string const out = captured_log();
    EXPECT_NE(out.find("FILE EVENT failed: disk on fire\n"), std::string::npos);
    EXPECT_NE(out.find("[EventBus] could not find the handler for event type VSCODE EVENT\n"),
              std::string::npos);
    EXPECT_EQ(seen.back(), "idle");
    std::erase(seen, "idle");  // the queue may also have emptied between two publications
    EXPECT_EQ(seen, (std::vector<std::string>{"1:bad", "2:bad", "1:b", "2:b"}));
}

// The first delivery lasts until the stop: the publisher queues events without waiting for it
// until the queue is full, a drain gives up meanwhile, and the stop discards the queue and lets
// the waiting publisher go.
TEST(EventBus, PublishersWaitOnlyForAFullQueueAndStopDiscardsItDuringADelivery) {
    EventBus bus;
    std::vector<std::string> seen;
    std::atomic<bool> entered{false};
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        seen.push_back(std::get<FileEvent>(event).filepath);
        entered = true;
        while (bus.running()) {
            std::this_thread::yield();
        }
    });
    std::atomic<std::size_t> published{0};
    std::thread publisher([&] {
        for (std::size_t i = 0; i < EventBus::MAX_QUEUED + 2; ++i) {
            bus.publish(file_event(std::to_string(i)));
            ++published;
        }
    });
    std::size_t const fits = EventBus::MAX_QUEUED + 1;  // the one in delivery and a full queue
    auto const deadline = std::chrono::steady_clock::now() + 10s;
    while (!(entered && published == fits) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(bus.drain(50ms));
    EXPECT_EQ(published.load(), fits);
    bus.stop();
    publisher.join();
    EXPECT_EQ(seen, std::vector<std::string>{"0"});
}

// A handler that publishes while the queue is full does not wait for room: the room would come
// from the delivery it is part of. Everything it publishes is delivered after it, in order.
TEST(EventBus, AHandlerPublishingIntoAFullQueueDoesNotWaitForItself) {
    EventBus bus;
    constexpr std::size_t kMore = EventBus::MAX_QUEUED + 10;
    std::vector<std::string> seen;
    std::mutex mutex;
    std::condition_variable changed;
    bool queue_full = false;
    bool handler_done = false;
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        std::string const path = std::get<FileEvent>(event).filepath;
        seen.push_back(path);
        if (path != "first") {
            return;
        }
        {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, 10s, [&] { return queue_full; });
        }
        for (std::size_t i = 0; i < kMore; ++i) {
            bus.publish(file_event("more" + std::to_string(i)));
        }
        std::lock_guard lock(mutex);
        handler_done = true;
        changed.notify_all();
    });
    bus.publish(file_event("first"));
    for (std::size_t i = 0; i < EventBus::MAX_QUEUED; ++i) {
        bus.publish(file_event("queued" + std::to_string(i)));
    }
    bool done = false;
    {
        std::unique_lock lock(mutex);
        queue_full = true;
        changed.notify_all();
        done = changed.wait_for(lock, 10s, [&] { return handler_done; });
    }
    if (!done) {
        bus.stop();  // lets the stuck handler go, so that the test can end
        FAIL() << "the handler waited for room in the queue it was delivering from";
    }
    ASSERT_TRUE(bus.drain(10s));
    ASSERT_EQ(seen.size(), 1 + EventBus::MAX_QUEUED + kMore);
    EXPECT_EQ(seen[1 + EventBus::MAX_QUEUED], "more0");
    EXPECT_EQ(seen.back(), "more" + std::to_string(kMore - 1));
}

// Events published together are delivered like events published one by one: in their order,
// beyond the queue's bound, between another publisher's; the busy hook runs while more events
// wait and the idle hook once the queue is empty.
TEST(EventBus, EventsPublishedTogetherKeepTheirOrderAndTheHooksSayWhetherMoreWait) {
    EventBus bus;
    std::vector<std::string> seen;
    std::size_t busy = 0;
    bus.subscribe(BaseEvent::Types::FILE_EVENT,
                  [&](Event event) { seen.push_back(std::get<FileEvent>(event).filepath); });
    bus.set_idle_hook([&] { seen.push_back("idle"); }, [&] { ++busy; });
    std::size_t const count = 3 * EventBus::MAX_QUEUED;
    std::vector<Event> together;
    for (std::size_t i = 0; i < count; ++i) {
        together.emplace_back(std::in_place_type<FileEvent>, file_event("t" + std::to_string(i)));
    }
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            bus.publish(file_event("o" + std::to_string(i)));
        }
    });
    bus.publish_events(together);
    other.join();
    ASSERT_TRUE(bus.drain(10s));
    EXPECT_EQ(seen.back(), "idle");
    std::size_t const idle = static_cast<std::size_t>(std::count(seen.begin(), seen.end(), "idle"));
    std::erase(seen, "idle");
    EXPECT_EQ(busy + idle, count + 100);
    EXPECT_GT(busy, 0u);
    std::vector<std::string> mine, theirs;
    for (std::string const& path : seen) {
        (path[0] == 't' ? mine : theirs).push_back(path);
    }
    ASSERT_EQ(mine.size(), count);
    ASSERT_EQ(theirs.size(), 100u);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(mine[i], "t" + std::to_string(i));
    }
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(theirs[i], "o" + std::to_string(i));
    }
}

// Events asked to be delivered here are delivered, and the hooks run, on the publishing thread
// while the bus is idle; during another delivery they are queued behind it. Publishers that
// race never have two handlers running at once, and each one's events keep their order.
TEST(EventBus, EventsAreDeliveredByTheirPublisherOnlyWhileTheBusIsIdle) {
    EventBus bus;
    std::mutex seen_mutex;
    std::vector<std::pair<std::string, std::thread::id>> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        if (running.fetch_add(1) != 0) {
            overlapped = true;
        }
        std::string const path = std::get<FileEvent>(event).filepath;
        if (path == "hold") {
            held = true;
            while (hold) {
                std::this_thread::yield();
            }
        }
        {
            std::lock_guard lock(seen_mutex);
            seen.emplace_back(path, std::this_thread::get_id());
        }
        running.fetch_sub(1);
    });
    std::thread::id hook_thread;
    std::size_t busy_hooks = 0;
    bus.set_idle_hook([&] { hook_thread = std::this_thread::get_id(); }, [&] { ++busy_hooks; });
    auto const publish_here = [&](std::string path) {
        std::vector<Event> one;
        one.emplace_back(std::in_place_type<FileEvent>, file_event(std::move(path)));
        bus.publish_events(one, EventBus::Delivery::here_when_idle);
    };

    publish_here("lone");
    ASSERT_EQ(seen.size(), 1u);  // delivered before the publication returned
    EXPECT_EQ(seen[0].second, std::this_thread::get_id());
    EXPECT_EQ(hook_thread, std::this_thread::get_id());
    // Events published together are delivered here too, in order; more follow all but the last.
    std::vector<Event> three;
    for (char const* path : {"x1", "x2", "x3"}) {
        three.emplace_back(std::in_place_type<FileEvent>, file_event(path));
    }
    bus.publish_events(three, EventBus::Delivery::here_when_idle);
    ASSERT_EQ(seen.size(), 4u);
    for (std::size_t n = 1; n < 4; ++n) {
        EXPECT_EQ(seen[n].first, "x" + std::to_string(n));
        EXPECT_EQ(seen[n].second, std::this_thread::get_id());
    }
    EXPECT_EQ(busy_hooks, 2u);

    hold = true;
    bus.publish(file_event("hold"));
    auto const deadline = std::chrono::steady_clock::now() + 10s;
    while (!held && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(held);
    publish_here("queued");
    hold = false;
    ASSERT_TRUE(bus.drain(10s));
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[4].first, "hold");
    EXPECT_EQ(seen[5].first, "queued");
    EXPECT_NE(seen[5].second, std::this_thread::get_id());  // queued, so the worker's

    std::vector<std::thread> publishers;
    for (char const name : {'a', 'b', 'c'}) {
        publishers.emplace_back([&, name] {
            for (int i = 0; i < 300; ++i) {
                if (i % 3 == 0) {
                    bus.publish(file_event(name + std::to_string(i)));
                } else {
                    publish_here(name + std::to_string(i));
                }
            }
        });
    }
    for (auto& publisher : publishers) {
        publisher.join();
    }
    ASSERT_TRUE(bus.drain(10s));
    EXPECT_FALSE(overlapped);
    for (char const name : {'a', 'b', 'c'}) {
        std::vector<std::string> order;
        for (auto const& [path, thread] : seen) {
            if (path[0] == name) {
                order.push_back(path);
            }
        }
        ASSERT_EQ(order.size(), 300u) << name;
        for (int i = 0; i < 300; ++i) {
            EXPECT_EQ(order[static_cast<std::size_t>(i)], name + std::to_string(i));
        }
    }
}
