#pragma once

#include "app/env.hpp"
#include "events/event_bus.hpp"
#include "index/insertion_buffer.hpp"
#include "store/event_db.hpp"
#include "supervisors/online_supervisor.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// What a run of the monitor may change beyond its project.
struct WardletSettings {
    // Where the editor extension finds this monitor.
    std::string socket_path = EDITOR_SOCKET_PATH;
    // The longest a stored row waits for its commit while events keep arriving: what a process
    // killed outright can lose of the rows it has logged. Empty: every row is committed alone, by
    // the thread that stores it.
    std::optional<std::chrono::milliseconds> group_commit = std::chrono::milliseconds{2};
};

// The application object: detects the environment and owns every long-lived component, in the
// order they come into being. The program, its benchmarks and its tests assemble the monitor only
// through it.
//
// Threads: the thread that constructs it calls start() (which serves the editor socket until a
// stop), then finish() or the destructor. stop() and hurry() come from any other thread (the
// signal thread); each takes effect once however often it is called.
class Wardlet {
public:
    Wardlet(std::filesystem::path const& rootpath, bool use_logfile, WardletSettings settings = {});
    Wardlet(Wardlet const&) = delete;
    Wardlet& operator=(Wardlet const&) = delete;
    // The process's exit status when received rows could not be written to the database.
    static constexpr int UNWRITTEN_ROWS_STATUS = 3;

    // Tears down as finish() does.
    ~Wardlet();

    // Logs "[OnlineSupervisor] starting..." and runs the monitors on the calling thread until the
    // editor listener stops serving.
    void start();
    // Asks the monitors to stop; safe from any thread.
    void stop();
    // Orderly teardown: what was received is stored, waiting a bounded time for a database that
    // cannot be written, before the components go away. 0 when every received event is a row,
    // UNWRITTEN_ROWS_STATUS when some went to a recovery file or to standard error instead.
    int finish();
    // A stop that must not wait any longer for a database that cannot be written: the rows it
    // holds go to the recovery file at once. Safe from any thread.
    void hurry();

    Env const& env() const { return env_; }

private:
    // Set by the constructor and reset by finish(), both on the owning thread; the components use
    // one another on their own threads meanwhile (see each one's header).
    Env env_;
    std::unique_ptr<EventBus> bus_;
    std::unique_ptr<EventDB> db_;
    std::unique_ptr<InsertionBuffer> ibuf_;
    std::unique_ptr<OnlineSupervisor> supervisor_;
    // Held for the whole of stop(), so that finish(), which stops too, tears nothing down while a
    // stop from another thread is still telling the monitors.
    std::mutex stop_mutex_;
    bool stopping_ = false;  // stop() has run: the supervisor is told once; under stop_mutex_
    bool finished_ = false;  // the owning thread's alone
    // Held by hurry() to reach db_ from another thread, and by finish() to reset it. A log line
    // may be written under it: logging only queues the line (app/log.hpp).
    std::mutex db_mutex_;
};
