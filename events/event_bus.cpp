#include "events/event_bus.hpp"

#include "app/log.hpp"

#include <pthread.h>

#include <exception>
#include <optional>
#include <system_error>

std::atomic<std::uint64_t> EventBus::sid_{0};

EventBus::EventBus() {
    start();
}

EventBus::~EventBus() {
    stop();
}

void EventBus::start() {
    worker_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "wardlet-bus");
        run();
    });
}

std::pair<std::string, std::uint64_t> EventBus::subscribe(std::string type, Handler handler) {
    std::lock_guard lock(delivery_mutex_);
    std::uint64_t const id = sid_.fetch_add(1);
    subscribers_[type].emplace_back(id, std::move(handler));
    log_line("[EventBus] new sub: ({}, {})", type, id);
    return {std::move(type), id};
}

void EventBus::set_idle_hook(std::function<void()> hook, std::function<void()> busy_hook) {
    std::lock_guard lock(delivery_mutex_);
    idle_hook_ = std::move(hook);
    busy_hook_ = std::move(busy_hook);
}

void EventBus::publish_event(Event event) {
    publish(std::span<Event>(&event, 1), Delivery::queued);
}

void EventBus::publish_events(std::vector<Event>& events, Delivery delivery) {
    publish(events, delivery);
}

void EventBus::publish(std::span<Event> events, Delivery delivery) {
    if (events.empty()) {
        return;
    }
    {
        // Counted first, so that a drain never sees a queued event uncounted.
        std::lock_guard count(drain_mutex_);
        undelivered_ += events.size();
    }
    if (delivery == Delivery::here_when_idle && deliver_here_if_idle(events)) {
        return;
    }
    enqueue(events);
}

void EventBus::enqueue(std::span<Event> events) {
    // A handler or hook publishing waits for no room: the room would come from the delivery it is
    // part of. What one delivery publishes is bounded by its work.
    bool const unbounded = delivering_here();
    std::size_t next = 0;
    while (next < events.size()) {
        std::unique_lock lock(mutex_);
        room_cv_.wait(lock, [&] { return queue_.size() < MAX_QUEUED || !running_ || unbounded; });
        // The worker waits only for an empty queue: a wake-up is needed for the first event alone.
        bool const was_empty = queue_.empty();
        // As many as there is room for; after the stop, every one (they are never delivered).
        do {
            queue_.push_back(std::move(events[next++]));
        } while (next < events.size() && (queue_.size() < MAX_QUEUED || !running_ || unbounded));
        lock.unlock();
        // Outside the lock: the worker it wakes does not have to wait for it.
        if (was_empty) {
            cv_.notify_one();
        }
    }
}

bool EventBus::deliver_here_if_idle(std::span<Event> events) {
    {
        std::lock_guard lock(mutex_);
        if (!running_ || delivering_ || !queue_.empty()) {
            return false;
        }
        delivering_ = true;
    }
    for (std::size_t n = 0; n < events.size(); ++n) {
        // After a stop the rest go undelivered, as queued events do.
        if (!running_) {
            break;
        }
        deliver_with_hook(events[n], n + 1 < events.size());
    }
    settle(events.size());
    return true;
}

namespace {
// The bus whose event the calling thread is delivering, if any.
thread_local EventBus const* delivering_bus = nullptr;
}  // namespace

bool EventBus::delivering_here() const {
    return delivering_bus == this;
}

void EventBus::deliver_with_hook(Event& event, bool more_here) {
    std::lock_guard delivering(delivery_mutex_);
    delivering_bus = this;
    deliver(event);
    bool idle = !more_here;
    if (idle) {
        std::lock_guard lock(mutex_);
        idle = queue_.empty();
    }
    if (idle && idle_hook_) {
        idle_hook_();
    } else if (!idle && busy_hook_) {
        busy_hook_();
    }
    delivering_bus = nullptr;
}

void EventBus::settle(std::size_t count) {
    bool queued;
    {
        std::lock_guard lock(mutex_);
        delivering_ = false;
        queued = !queue_.empty();
    }
    // Events queued meanwhile waited for this delivery's end, not for the worker's wake-up.
    if (queued) {
        cv_.notify_one();
    }
    std::lock_guard count_lock(drain_mutex_);
    undelivered_ -= count;
    if (undelivered_ == 0) {
        drained_cv_.notify_all();
    }
}

bool EventBus::drain(std::chrono::milliseconds bound) {
    std::unique_lock lock(drain_mutex_);
    return drained_cv_.wait_for(lock, bound, [this] { return undelivered_ == 0 || !running_; });
}

void EventBus::stop() {
    // Cleared before taking the lock, so the worker ends after the delivery in progress even
    // while publishers are queueing behind it.
    running_.store(false);
    {
        std::lock_guard lock(mutex_);
        cv_.notify_all();
        room_cv_.notify_all();
    }
    {
        std::lock_guard lock(drain_mutex_);
        drained_cv_.notify_all();
    }
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
        worker_.join();
    }
}

void EventBus::run() {
    while (true) {
        std::optional<Event> event;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return (!queue_.empty() && !delivering_) || !running_; });
            if (!running_) {
                return;
            }
            event.emplace(std::move(queue_.front()));
            queue_.pop_front();
            delivering_ = true;
            if (queue_.size() + 1 == MAX_QUEUED) {
                room_cv_.notify_all();
            }
        }
        deliver_with_hook(*event, false);
        settle(1);
    }
}

void EventBus::deliver(Event& event) {
    std::string const type = base_of(event).type;
    auto const found = subscribers_.find(type);
    if (found == subscribers_.end()) {
        log_line("[EventBus] could not find the handler for event type {}", type);
        return;
    }
    auto const& handlers = found->second;
    for (std::size_t n = 0; n < handlers.size(); ++n) {
        auto const& [id, handler] = handlers[n];
        // One failing handler must not end the worker: every later event would be lost.
        try {
            // Each handler has a copy of its own; the last, the event itself.
            if (n + 1 < handlers.size()) {
                handler(event);
            } else {
                handler(std::move(event));
            }
        } catch (std::exception const& error) {
            log_line("[EventBus] handler {} for event type {} failed: {}", id, type, error.what());
        } catch (...) {
            log_line("[EventBus] handler {} for event type {} failed: unknown error", id, type);
        }
    }
}
