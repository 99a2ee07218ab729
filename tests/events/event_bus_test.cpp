#include "events/event_bus.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

FileEvent file_event(std::string path) {
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.filepath = std::move(path);
    return event;
}

// Collects what the handlers saw; the bus worker writes, the test thread reads after a drain.
struct Seen {
    std::mutex mutex;
    std::vector<std::string> entries;
    void add(std::string entry) {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return entries;
    }
};

}  // namespace

TEST(EventBus, HandlersRunInSubscriptionOrderEachWithItsOwnCopy) {
    EventBus bus;
    Seen seen;
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        auto& file = std::get<FileEvent>(event);
        seen.add("first:" + file.filepath + ":" + file.handler_type);
        file.handler_type = "changed by first";
    });
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        auto const& file = std::get<FileEvent>(event);
        seen.add("second:" + file.filepath + ":" + file.handler_type);
    });
    bus.set_idle_hook([&] { seen.add("idle"); });
    bus.publish(file_event("a"));
    bus.publish(file_event("b"));
    ASSERT_TRUE(bus.drain(5s));
    auto entries = seen.snapshot();
    // The idle hook runs whenever the queue empties, which may also happen between a and b.
    std::erase(entries, "idle");
    EXPECT_EQ(entries,
              (std::vector<std::string>{"first:a:", "second:a:", "first:b:", "second:b:"}));
    EXPECT_EQ(seen.snapshot().back(), "idle");
}

TEST(EventBus, SubscriptionIdsContinueAcrossBuses) {
    EventBus first;
    auto const a = first.subscribe("X", [](Event) {});
    auto const b = first.subscribe("X", [](Event) {});
    EventBus second;
    auto const c = second.subscribe("Y", [](Event) {});
    EXPECT_EQ(b.second, a.second + 1);
    EXPECT_EQ(c.second, b.second + 1);
    EXPECT_EQ(c.first, "Y");
}

TEST(EventBus, EventWithoutSubscriberPrintsTheNoHandlerLine) {
    EventBus bus;
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [](Event) {});
    testing::internal::CaptureStdout();
    VSCodeEvent editor;
    editor.type = BaseEvent::Types::VSCODE_EVENT;
    bus.publish(editor);
    FileEvent misspelled = file_event("x");
    misspelled.type = "FILE_EVENT";
    bus.publish(misspelled);
    ASSERT_TRUE(bus.drain(5s));
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[EventBus] could not find the handler for event type VSCODE EVENT\n"),
              std::string::npos);
    EXPECT_NE(out.find("[EventBus] could not find the handler for event type FILE_EVENT\n"),
              std::string::npos);
}

TEST(EventBus, EachPublisherKeepsItsOrderAcrossThreads) {
    EventBus bus;
    Seen seen;
    bus.subscribe(BaseEvent::Types::FILE_EVENT,
                  [&](Event event) { seen.add(std::get<FileEvent>(event).filepath); });
    auto publisher = [&](char name) {
        for (int i = 0; i < 500; ++i) {
            bus.publish(file_event(std::string(1, name) + std::to_string(i)));
        }
    };
    std::thread a(publisher, 'a');
    std::thread b(publisher, 'b');
    a.join();
    b.join();
    ASSERT_TRUE(bus.drain(10s));
    auto const entries = seen.snapshot();
    ASSERT_EQ(entries.size(), 1000u);
    int next_a = 0;
    int next_b = 0;
    for (auto const& entry : entries) {
        int& next = entry[0] == 'a' ? next_a : next_b;
        EXPECT_EQ(std::stoi(entry.substr(1)), next++);
    }
}

TEST(EventBus, ThrowingHandlerIsReportedAndLaterEventsStillArrive) {
    EventBus bus;
    Seen seen;
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [](Event event) {
        if (std::get<FileEvent>(event).filepath == "bad") {
            throw std::runtime_error("disk on fire");
        }
    });
    bus.subscribe(BaseEvent::Types::FILE_EVENT,
                  [&](Event event) { seen.add(std::get<FileEvent>(event).filepath); });
    testing::internal::CaptureStdout();
    bus.publish(file_event("bad"));
    bus.publish(file_event("good"));
    ASSERT_TRUE(bus.drain(5s));
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[EventBus] handler"), std::string::npos);
    EXPECT_NE(out.find("FILE EVENT failed: disk on fire"), std::string::npos);
    EXPECT_EQ(seen.snapshot(), (std::vector<std::string>{"bad", "good"}));
}

TEST(EventBus, StopDuringADeliveryDeliversNothingFurther) {
    Seen seen;
    std::atomic<bool> entered{false};
    {
        EventBus bus;
        bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
            seen.add(std::get<FileEvent>(event).filepath);
            entered = true;
            // Hold the delivery until the stop has been requested.
            auto const deadline = std::chrono::steady_clock::now() + 5s;
            while (bus.running() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
        });
        bus.publish(file_event("in delivery"));
        while (!entered) {
            std::this_thread::yield();
        }
        // Queued behind the delivery in progress, then discarded with the bus.
        std::thread publisher([&] {
            bus.publish(file_event("queued 1"));
            bus.publish(file_event("queued 2"));
        });
        bus.stop();
        publisher.join();
    }
    EXPECT_EQ(seen.snapshot(), std::vector<std::string>{"in delivery"});
}

TEST(EventBus, PublishersDoNotWaitForABusyHandlerAndDrainTimesOutMeanwhile) {
    EventBus bus;
    Seen seen;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    bus.subscribe(BaseEvent::Types::FILE_EVENT, [&](Event event) {
        entered = true;
        while (!release) {
            std::this_thread::yield();
        }
        seen.add(std::get<FileEvent>(event).filepath);
    });
    bus.publish(file_event("slow"));
    auto const settled = [](std::atomic<bool> const& flag) {
        auto const deadline = std::chrono::steady_clock::now() + 5s;
        while (!flag && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return flag.load();
    };
    ASSERT_TRUE(settled(entered));
    // A thread feeding the bus queues its events while the handler still runs.
    std::atomic<bool> published{false};
    std::thread publisher([&] {
        bus.publish(file_event("next 1"));
        bus.publish(file_event("next 2"));
        published = true;
    });
    EXPECT_TRUE(settled(published));
    EXPECT_FALSE(bus.drain(50ms));
    release = true;
    publisher.join();
    EXPECT_TRUE(bus.drain(5s));
    EXPECT_EQ(seen.snapshot(), (std::vector<std::string>{"slow", "next 1", "next 2"}));
}
