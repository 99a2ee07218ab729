#pragma once

#include "support/child_process.hpp"
#include "support/socket_lock.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

// A temporary project and home directory with the real monitor running on them, spoken to as the
// editor extension and other programs would.
class MonitorHarness {
public:
    static constexpr char const* kSocket = "/tmp/wardlet.sock";

    MonitorHarness();

    std::filesystem::path const& project() const { return project_; }
    std::filesystem::path const& home() const { return home_; }
    std::filesystem::path db() const { return project_ / ".wardlet" / "wardlet.sqlite3"; }
    std::filesystem::path filemap() const { return project_ / ".wardlet" / "tracked"; }

    // Writes a project file and lists it in the file map; returns its path.
    std::filesystem::path add_tracked(std::string const& name, std::string const& content);

    // Starts the monitor and waits until it serves the editor socket.
    void start();
    ChildProcess& process() { return *process_; }

    // Sends raw bytes on a fresh connection and closes it.
    void send(std::string const& lines);

    // Rows of a query on the monitor's database, and a bounded wait for a row count.
    std::vector<SqlRow> rows(std::string const& query) const { return sql_rows(db(), query); }
    long long wait_for(std::string const& count_query, long long count,
                       std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        return wait_for_count(db(), count_query, count, bound);
    }

    // Ends the monitor with `signal_number` and returns its exit status.
    int stop(int signal_number);

private:
    SocketLock socket_lock_;
    TempDir root_;
    std::filesystem::path project_;
    std::filesystem::path home_;
    std::unique_ptr<ChildProcess> process_;
};

// One change message as the editor extension sends it, ended by a line feed.
struct Change {
    std::string file{};
    std::string type = "change";
    std::string inserted{};
    std::uint64_t deleted = 0;
    std::int64_t offset = 0;
    bool undo_redo = false;
    bool copy_paste = false;
    bool saved = false;

    std::string line() const;
};
