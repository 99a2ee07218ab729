#pragma once

#include "store/event_db.hpp"
#include "support/child_process.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// A project record written through the monitor's own store, with editor rows at chosen moments:
// the report takes its times from the rows, so sessions and pauses are known in advance.
class RecordedProject {
public:
    struct Edit {
        double at_s = 0;  // seconds after the record's start
        std::uint64_t offset = 0;
        std::uint64_t deleted = 0;
        std::string inserted{};
        bool paste = false;
        bool undo = false;
        bool internal_copy = false;
        bool saved = false;
    };

    explicit RecordedProject(std::filesystem::path project)
        : project_(std::move(project)), db_(project_ / ".wardlet" / "wardlet.sqlite3") {
        std::filesystem::create_directories(db_.parent_path());
        events_ = std::make_unique<EventDB>(db_.native());
        // Rows after the snapshots, which carry the time they are taken.
        start_ = std::chrono::floor<std::chrono::seconds>(now_timestamp()) + std::chrono::hours(1);
    }

    std::filesystem::path const& project() const { return project_; }
    std::filesystem::path const& database() const { return db_; }
    std::string path(std::string const& name) const { return (project_ / name).native(); }

    void file(std::string const& name, std::string const& content) {
        events_->store_snapshot(path(name), {++inode_, 1}, SnapshotReason::START, content);
    }
    void edit(std::string const& name, Edit const& change) {
        VSCodeEvent row;
        row.type = BaseEvent::Types::VSCODE_EVENT;
        row.change_type = "change";
        row.timestamp = start_ + std::chrono::milliseconds(static_cast<long>(change.at_s * 1000));
        row.filepath = path(name);
        row.offset = change.offset;
        row.deleted = change.deleted;
        row.inserted = change.inserted;
        row.is_copy_paste = change.paste;
        row.is_undo_redo = change.undo;
        row.internal_copy = change.internal_copy;
        row.is_saved = change.saved;
        events_->store(row);
    }
    // Closes the store; the record is then read by the tools only.
    void close() { events_.reset(); }

    // The report as JSON, in UTC, with `more` options.
    nlohmann::json json(std::vector<std::string> more = {}) const {
        more.insert(more.begin(), {REPORT_BIN, project_.native(), "--json", "--utc"});
        ProcessResult const result = run_process(more);
        if (result.status != 0) {
            throw std::runtime_error(result.output);
        }
        return nlohmann::json::parse(result.output);
    }
    ProcessResult report(std::vector<std::string> more = {}) const {
        more.insert(more.begin(), {REPORT_BIN, project_.native(), "--utc"});
        return run_process(more);
    }

private:
    std::filesystem::path project_;
    std::filesystem::path db_;
    std::unique_ptr<EventDB> events_;
    Timestamp start_;
    std::uint64_t inode_ = 0;
};
