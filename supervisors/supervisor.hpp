#pragma once

#include "app/env.hpp"
#include "events/event_bus.hpp"
#include "events/records.hpp"
#include "index/insertion_buffer.hpp"
#include "store/event_db.hpp"

#include <atomic>

// One monitor of the system: it turns what it observes into events on the bus and handles its
// own kind of event when the bus delivers it.
class ISupervisor {
public:
    ISupervisor(EventBus& bus, EventDB& db, InsertionBuffer& ibuf, Env& env);
    ISupervisor(ISupervisor const&) = delete;
    ISupervisor& operator=(ISupervisor const&) = delete;
    virtual ~ISupervisor() = default;

    virtual void start() = 0;
    virtual void stop();
    // Runs where the bus delivers (its worker, or a publisher delivering its own events while the
    // bus is idle), one event at a time, in publication order.
    virtual void handle(Event event) = 0;

    bool should_run() const { return running_.load(); }
    void publish(Event event);
    // Writes file and editor events as one row each; key events are never stored.
    bool store(Event event);

protected:
    Env& env_;
    InsertionBuffer& ibuf_;
    EventBus& bus_;
    EventDB& db_;
    std::atomic<bool> running_{true};
};
