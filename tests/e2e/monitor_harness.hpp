#pragma once

#include "support/child_process.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"
#include "support/unix_client.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <fstream>

// A temporary project and home directory with the real monitor running on them, spoken to as the
// editor extension and other programs would. Each harness has its own socket path, so tests run
// side by side and beside a monitor serving the default path.
class MonitorHarness {
public:
    MonitorHarness() {
        std::filesystem::create_directories(project_ / ".wardlet");
        std::filesystem::create_directories(home_);
    }
    ~MonitorHarness() { process_.reset(); }

    std::filesystem::path const& project() const { return project_; }
    std::filesystem::path const& home() const { return home_; }
    std::filesystem::path db() const { return project_ / ".wardlet" / "wardlet.sqlite3"; }
    std::filesystem::path filemap() const { return project_ / ".wardlet" / "tracked"; }
    std::string const& socket() const { return socket_; }

    // Writes a project file and lists it in the file map by its inode and device.
    std::filesystem::path add_tracked(std::string const& name, std::string const& content) {
        auto const path = write_file(project_ / name, content);
        struct stat status {};
        ::stat(path.c_str(), &status);
        std::ofstream(filemap(), std::ios::app)
            << status.st_ino << ';' << status.st_dev << ';' << path.native() << '\n';
        return path;
    }

    // Starts the monitor, run by `launcher` when given (e.g. prlimit and its options), and waits
    // until it serves the editor socket.
    void start(std::vector<std::string> launcher = {}) {
        launch(std::move(launcher), project_.native(), std::nullopt);
    }
    // Starts the monitor as `cd <the project's parent> && wardlet <its name>` does: the project
    // named relative to the working directory.
    void start_relative() { launch({}, project_.filename().native(), project_.parent_path()); }
    // Starts the monitor on the project under another name of it (a link to its folder).
    void start_as(std::filesystem::path const& name) { launch({}, name.native(), std::nullopt); }
    ChildProcess& process() { return *process_; }
    // Sends raw bytes on a fresh connection and closes it.
    void send(std::string const& lines) { UnixClient(socket_).send(lines); }

    // Rows of a query on the monitor's database, and a bounded wait for a row count.
    std::string rows(std::string const& query) const { return sql_rows(db(), query); }
    long long wait_for(std::string const& count_query, long long count) const {
        return wait_for_count(db(), count_query, count, std::chrono::seconds(10));
    }

    // Ends the monitor with `signal_number` and returns its exit status.
    int stop(int signal_number) {
        process_->send_signal(signal_number);
        return process_->wait(std::chrono::seconds(20)).value_or(-1);
    }

private:
    void launch(std::vector<std::string> launcher, std::string const& project,
                std::optional<std::filesystem::path> cwd) {
        launcher.insert(launcher.end(), {WARDLET_BIN, project, "--socket", socket_});
        process_ = std::make_unique<ChildProcess>(
            std::move(launcher),
            ChildProcess::Options{.env = {{"HOME", home_.native()}}, .cwd = std::move(cwd)});
        if (!process_->wait_for_output("[VSCodeListener] started\n", std::chrono::seconds(20))) {
            throw std::runtime_error("monitor did not start:\n" + process_->output());
        }
    }

    TempDir root_;
    std::filesystem::path project_ = root_ / "project";
    std::filesystem::path home_ = root_ / "home";
    std::string socket_ = (root_ / "editor.sock").native();
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
    bool first_save = false;  // an untitled document written to a new file

    std::string line() const {
        auto const text = [](std::string const& raw) { return nlohmann::json(raw).dump(); };
        return fmt::format(R"({{"file":{},"type":{},"inserted":{},"deletedCount":{},"offset":{},)"
                           R"("causedByUndoRedo":{},"causedByCopyPaste":{},"isSaved":{}{}}})"
                           "\n",
                           text(file), text(type), text(inserted), deleted, offset, undo_redo,
                           copy_paste, saved, first_save ? R"(,"firstSave":true)" : "");
    }
};
