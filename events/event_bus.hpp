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
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

// Carries events from the monitors' threads to their handlers, one event at a time, in publication
// order. Publishing never waits for a delivery in progress, so a handler that has to wait (for the
// database's commit, say) does not hold up the threads that feed the bus. Queued events are
// delivered by the bus's worker thread; a publisher may instead ask to deliver its events itself
// when the bus is idle (Delivery::here_when_idle), which spares them the hand-off to another
// thread. A handler must never publish, subscribe, drain or stop the bus, nor wait for anything its
// own publishing thread has still to do.
class EventBus {
public:
    using Handler = std::function<void(Event)>;
    // Where a published event is delivered.
    enum class Delivery {
        queued,          // always on the worker
        here_when_idle,  // on the publishing thread, when nothing is queued or being
                         // delivered; otherwise queued
    };
    // Events a publisher may queue ahead of the worker; beyond that it waits for room, so a
    // producer that outruns the handlers cannot exhaust memory. A handler or hook that publishes
    // does not wait: the room would come from its own delivery.
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
    // once rather than once per event; they are moved from. With here_when_idle they may be
    // delivered, and the hooks run, before this returns.
    void publish_events(std::vector<Event>& events, Delivery delivery = Delivery::queued);

    // Runs `hook`, like a handler and on the delivering thread, whenever a delivery leaves the
    // queue empty, and `busy_hook`, when given, whenever a delivery leaves events queued. Set them
    // before events flow.
    void set_idle_hook(std::function<void()> hook, std::function<void()> busy_hook = {});
    // Whether the calling thread is delivering an event of this bus (running a handler or a
    // hook) right now: the worker, or a publisher delivering its own event.
    bool delivering_here() const;

    // Waits, at most `bound`, until every queued event has been delivered. False on time-out.
    bool drain(std::chrono::milliseconds bound);

    // Ends the worker after its current delivery and waits for it. Idempotent.
    void stop();

    bool running() const { return running_; }

private:
    void start();
    void run();
    // publish_event and publish_events: `events` are moved from.
    void publish(std::span<Event> events, Delivery delivery);
    // Queues events already counted as undelivered.
    void enqueue(std::span<Event> events);
    // Delivers `events`, already counted, in their order on this thread when the bus is idle;
    // false otherwise.
    bool deliver_here_if_idle(std::span<Event> events);
    // One delivery and the hook it calls for, under delivery_mutex_; the caller has set
    // delivering_. `more_here`: the caller delivers more events right after this one.
    void deliver_with_hook(Event& event, bool more_here);
    // Ends the deliveries begun by setting delivering_: clears it and counts `count` events
    // delivered.
    void settle(std::size_t count);
    // Hands `event` to its type's handlers; it is moved from.
    void deliver(Event& event);

    static std::atomic<std::uint64_t> sid_;

    // Threads: any thread publishes, drains and stops; subscribe and set_idle_hook are called
    // while the monitor is assembled, before the events they concern flow. The worker thread runs
    // the handlers and the hooks for queued events, a publisher for the events it delivers
    // itself; never two at once (delivering_).
    //
    // The handlers, and the hook, are used under delivery_mutex_, which is held for one whole
    // delivery; the queue has a lock of its own, held only to add or take an event or to change
    // delivering_. No lock of the bus is held while a publisher waits for room, and only
    // delivery_mutex_ while a handler runs: handlers may log, and may take locks of their own,
    // never the bus's.
    std::mutex delivery_mutex_;
    std::unordered_map<std::string, std::vector<std::pair<std::uint64_t, Handler>>> subscribers_;
    std::function<void()> idle_hook_;
    std::function<void()> busy_hook_;
    std::deque<Event> queue_;
    // A delivery is in progress, on the worker or a publisher: the worker waits for its end
    // before taking the next event, and a publisher then queues its own.
    bool delivering_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;       // events queued while none is delivered, or the bus stopped
    std::condition_variable room_cv_;  // a full queue got room again, or the bus stopped
    std::atomic<bool> running_{true};
    // Counts published events not yet delivered, apart from the other locks, so that a drain can
    // time out even while a slow handler runs.
    std::mutex drain_mutex_;
    std::condition_variable drained_cv_;
    std::uint64_t undelivered_ = 0;
    std::thread worker_;
};
