#pragma once

#include "events/records.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

// Carries events from the monitors' threads to their handlers on one worker thread, one event at a
// time, in publication order. Publishing only queues the event: it never waits for a delivery in
// progress, so a handler that has to wait (for the database's commit, say) does not hold up the
// threads that feed the bus. A handler must never publish, subscribe, drain or stop the bus.
class EventBus {
public:
    using Handler = std::function<void(Event)>;
    // Events a publisher may queue ahead of the worker; beyond that it waits for room, so a
    // producer that outruns the handlers cannot exhaust memory.
    static constexpr std::size_t MAX_QUEUED = 256;

    EventBus();
    EventBus(EventBus const&) = delete;
    EventBus& operator=(EventBus const&) = delete;
    // Stops the worker; events still queued are discarded undelivered.
    ~EventBus();

    std::pair<std::string, std::uint64_t> subscribe(std::string type, Handler handler);

    template <typename Record>
    void publish(Record const& record) {
        publish_event(Event{std::in_place_type<Record>, record});
    }
    void publish_event(Event event);
    // Publishes `events` in their order, as one publish_event each would, but waking the worker
    // once rather than once per event; they are moved from.
    void publish_events(std::vector<Event>& events);

    // Runs `hook` on the worker, like a handler, whenever a delivery leaves the queue empty, and
    // `busy_hook`, when given, whenever a delivery leaves events queued. Set them before events
    // flow.
    void set_idle_hook(std::function<void()> hook, std::function<void()> busy_hook = {});
    // The worker's thread, on which every handler and hook runs.
    std::thread::id worker_id() const { return worker_.get_id(); }

    // Waits, at most `bound`, until every queued event has been delivered. False on time-out.
    bool drain(std::chrono::milliseconds bound);

    // Ends the worker after its current delivery and waits for it. Idempotent.
    void stop();

    bool running() const { return running_; }

private:
    void start();
    void run();
    void deliver(Event const& event);

    static std::atomic<std::uint64_t> sid_;

    // Threads: any thread publishes, drains and stops; subscribe and set_idle_hook are called
    // while the monitor is assembled, before the events they concern flow. The worker thread runs
    // every handler and the hook.
    //
    // The handlers, and the hook, are used by the worker under delivery_mutex_, which is held for
    // one whole delivery; the queue has a lock of its own, held only to add or take an event.
    // No lock of the bus is held while a publisher waits for room, and only delivery_mutex_
    // while a handler runs: handlers may log, and may take locks of their own, never the bus's.
    std::mutex delivery_mutex_;
    std::unordered_map<std::string, std::vector<std::pair<std::uint64_t, Handler>>> subscribers_;
    std::function<void()> idle_hook_;
    std::function<void()> busy_hook_;
    std::deque<Event> queue_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable room_cv_;  // a full queue got room again, or the bus stopped
    std::atomic<bool> running_{true};
    // Counts published events not yet delivered, apart from the other locks, so that a drain can
    // time out even while a slow handler runs.
    std::mutex drain_mutex_;
    std::condition_variable drained_cv_;
    std::uint64_t undelivered_ = 0;
    std::thread worker_;
};
