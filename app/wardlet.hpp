#pragma once

#include "app/env.hpp"
#include "events/event_bus.hpp"
#include "index/insertion_buffer.hpp"
#include "store/event_db.hpp"
#include "supervisors/online_supervisor.hpp"

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

// The application object: detects the environment and owns every long-lived component, in the
// order they come into being.
class Wardlet {
public:
    // `socket_path` is where the editor extension finds this monitor.
    Wardlet(std::filesystem::path const& rootpath, bool use_logfile,
            std::string socket_path = EDITOR_SOCKET_PATH);
    Wardlet(Wardlet const&) = delete;
    Wardlet& operator=(Wardlet const&) = delete;
    // Orderly teardown: what was received is stored before the components go away.
    ~Wardlet();

    // Runs the monitors on the calling thread until the editor listener stops serving.
    void start();
    // Asks the monitors to stop; safe from any thread.
    void stop();

    Env const& env() const { return env_; }

private:
    Env env_;
    std::unique_ptr<EventBus> bus_;
    std::unique_ptr<EventDB> db_;
    std::unique_ptr<InsertionBuffer> ibuf_;
    std::unique_ptr<OnlineSupervisor> supervisor_;
    std::atomic<bool> stopping_{false};
};
