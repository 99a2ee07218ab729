// The monitor on projects of many tracked files: how long it takes from its construction to the
// first change message stored, and what a keystroke costs once it runs, against the one-file case.
//
// Each benchmark builds a project of N tracked files of 1 KB (spread over folders of 100) with its
// own HOME and socket, assembles the monitor as the application does, and reports as counters:
//   start_to_first_row_s    from the start of construction to the first message's row being
//                           visible
//   cpu_us_per_key          processor time of the monitor's threads per keystroke, keystrokes
//                           sent one every 2 ms to one of the files (the process's time less that
//                           of the sending thread, which also polls for the rows)
//   restart_to_first_row_s  the same as the first, for a second monitor on the record the first
//                           one left
// The "patterns" benchmarks track the files as `wardlet-track --pattern 'src/**/*.py'` does
// (track_s is its time), so the monitor also follows every folder of the project.
// --keys=N sets the number of keystrokes (default 500).
//
// monitor_checkout adds files to such a project while the monitor runs, as a checkout or an
// unpacked archive does: N new files of 1 KB in new folders that the patterns match, written as
// fast as the disk takes them, no editor connected:
//   create_s     writing the files
//   tracked_s    from the first file written to every one named in the file map and its first
//                snapshot stored
//   modified_s   then the project's first files rewritten (all but the one the editor typed
//                into), as a switch of branches does: from the first write to a fast insertion
//                stored for each
//   moved_s      then 1,000 of them moved one by one to another folder (`git mv src/d*/f*.py
//                lib/`): from the first rename to a Moved row stored for each
#include "app/wardlet.hpp"
#include "events/file_id.hpp"
#include "tools/send.hpp"
#include "tools/track.hpp"

#include "running_monitor.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::size_t keystrokes = 500;

double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto const seconds = [](timeval const& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A project of `count` tracked files and its HOME, on the disk of the build tree.
class Project {
public:
    Project(std::size_t count, bool by_patterns) {
        std::string pattern = (fs::path(SCALE_BENCH_DISK_DIR) / "wardlet-scale-XXXXXX").native();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root_ = pattern;
        fs::create_directories(path() / ".wardlet");
        fs::create_directories(root_ / "home");
        std::string const text = std::string(1023, 'x') + '\n';
        std::ofstream map(path() / ".wardlet" / "tracked");
        for (std::size_t i = 0; i < count; ++i) {
            fs::path const file = path() / "src" / ("d" + std::to_string(i / 100)) /
                                  ("f" + std::to_string(i) + ".py");
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << text;
            if (!by_patterns) {
                FileId const fid = file_id_of(file);
                map << fid.first << ';' << fid.second << ';' << file.native() << '\n';
            }
        }
        map.close();
        if (by_patterns) {
            auto const started = std::chrono::steady_clock::now();
            std::ostringstream said;
            track_files(path(), {}, {"src/**/*.py"}, said);
            track_seconds_ =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        }
        // The map settled, as it is long after wardlet-track wrote it.
        timespec const past[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
        ::utimensat(AT_FDCWD, (path() / ".wardlet" / "tracked").c_str(), past, 0);
    }
    ~Project() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path path() const { return root_ / "project"; }
    fs::path home() const { return root_ / "home"; }
    fs::path first_file() const { return path() / "src" / "d0" / "f0.py"; }
    std::string socket() const { return (root_ / "editor.sock").native(); }
    fs::path log() const { return root_ / "monitor.log"; }
    double track_seconds() const { return track_seconds_; }

private:
    fs::path root_;
    double track_seconds_ = 0;
};

// The monitor as the application commits with this bench's 20 ms bound.
class Monitor : public RunningMonitor {
public:
    explicit Monitor(Project const& project)
        : RunningMonitor(project.path(), project.home(), settings(project)) {}

private:
    static WardletSettings settings(Project const& project) {
        WardletSettings settings;
        settings.socket_path = project.socket();
        settings.group_commit = 20ms;
        return settings;
    }
};

// A reviewer's connection to the monitor's database that waits for rows, all of a table's or
// those stored after a mark. Polling reads only the highest id; the rows themselves are counted
// once enough ids have come, so that the watching does not compete with the monitor for the
// disk's pages.
class Rows {
public:
    explicit Rows(fs::path const& db) {
        // The monitor's writer may hold the file a moment; the reader waits for it.
        if (sqlite3_open_v2(db.c_str(), &conn_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
            sqlite3_busy_timeout(conn_, 10'000) != SQLITE_OK) {
            std::fprintf(stderr, "scale_bench: cannot read %s: %s\n", db.c_str(),
                         sqlite3_errmsg(conn_));
            std::abort();
        }
    }
    ~Rows() { sqlite3_close(conn_); }
    Rows(Rows const&) = delete;
    Rows& operator=(Rows const&) = delete;

    // Only rows of `table` stored from now on count (without a mark, all of them).
    void mark(std::string const& table) { marks_[table] = number("SELECT max(id) FROM " + table); }
    // Waits, at most `bound`, looking every `step`, until `wanted` rows of `table` counted since
    // its mark meet `condition`; false when they did not.
    bool await(std::string const& table, std::string const& condition, std::size_t wanted,
               std::chrono::seconds bound = 600s, std::chrono::microseconds step = 5ms) {
        std::int64_t const mark = marks_[table];
        std::string const highest = "SELECT max(id) FROM " + table;
        std::string const count = "SELECT count(*) FROM " + table + " WHERE id > " +
                                  std::to_string(mark) + " AND " + condition;
        auto const until = std::chrono::steady_clock::now() + bound;
        auto const enough = [&](std::string const& sql, std::int64_t from) {
            return number(sql) - from >= static_cast<std::int64_t>(wanted);
        };
        while (!enough(highest, mark) || !enough(count, 0)) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(step);
        }
        return true;
    }

private:
    std::int64_t number(std::string const& sql) {
        sqlite3_stmt* query = nullptr;
        std::int64_t value = 0;
        if (sqlite3_prepare_v2(conn_, sql.c_str(), -1, &query, nullptr) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW) {
            value = sqlite3_column_int64(query, 0);
        }
        sqlite3_finalize(query);
        return value;
    }

    sqlite3* conn_ = nullptr;
    std::map<std::string, std::int64_t> marks_;
};

std::string keystroke(fs::path const& file, std::size_t offset) {
    return R"({"file":")" + file.native() +
           R"(","type":"change","inserted":"a","deletedCount":0,"offset":)" +
           std::to_string(offset) +
           R"(,"causedByUndoRedo":false,"causedByCopyPaste":false,"isSaved":false})" + "\n";
}

// From the start of a monitor's construction to the row of `rows` + 1 visible; empty on failure.
std::optional<double> start_monitor(benchmark::State& state, Project const& project,
                                    std::optional<Monitor>& monitor,
                                    std::optional<MonitorConnection>& client, std::size_t rows) {
    auto const started = std::chrono::steady_clock::now();
    monitor.emplace(project);
    try {
        client.emplace(project.socket());
    } catch (SendError const& error) {
        state.SkipWithError(error.what());
        return std::nullopt;
    }
    Rows count(project.path() / ".wardlet" / "wardlet.sqlite3");
    client->send(keystroke(project.first_file(), rows));
    if (!count.await("vscode_events", "1", rows + 1, 600s, 500us)) {
        state.SkipWithError("the first row did not become visible");
        return std::nullopt;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void run_scale(benchmark::State& state, std::size_t files, bool by_patterns) {
    Project project(files, by_patterns);
    std::optional<LogToFile> log(std::in_place, project.log());
    for (auto _ : state) {
        std::optional<Monitor> monitor;
        std::optional<MonitorConnection> client;
        std::optional<double> const start_seconds =
            start_monitor(state, project, monitor, client, 0);
        if (!start_seconds) {
            break;
        }
        state.SetIterationTime(*start_seconds);

        Rows rows(project.path() / ".wardlet" / "wardlet.sqlite3");
        double const process_before = process_cpu_seconds();
        double const own_before = thread_cpu_seconds();
        for (std::size_t i = 1; i <= keystrokes; ++i) {
            client->send(keystroke(project.first_file(), i));
            std::this_thread::sleep_for(2ms);
        }
        bool const all = rows.await("vscode_events", "1", keystrokes + 1, 120s);
        double const monitor_cpu =
            process_cpu_seconds() - process_before - (thread_cpu_seconds() - own_before);
        if (!all) {
            state.SkipWithError("keystrokes' rows did not all become visible");
            break;
        }
        client.reset();
        monitor.reset();

        std::optional<double> const restart_seconds =
            start_monitor(state, project, monitor, client, keystrokes + 1);
        if (!restart_seconds) {
            break;
        }
        state.counters["start_to_first_row_s"] = *start_seconds;
        state.counters["cpu_us_per_key"] = monitor_cpu * 1e6 / static_cast<double>(keystrokes);
        state.counters["restart_to_first_row_s"] = *restart_seconds;
        if (by_patterns) {
            state.counters["track_s"] = project.track_seconds();
        }
        client.reset();
        monitor.reset();
    }
    log.reset();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

fs::path project_file(Project const& project, std::size_t number) {
    return project.path() / "src" / ("d" + std::to_string(number / 100)) /
           ("f" + std::to_string(number) + ".py");
}

void run_checkout(benchmark::State& state, std::size_t tracked, std::size_t added) {
    constexpr std::size_t kMoved = 1000;
    Project project(tracked, true);
    std::optional<LogToFile> log(std::in_place, project.log());
    for (auto _ : state) {
        std::optional<Monitor> monitor;
        std::optional<MonitorConnection> client;
        if (!start_monitor(state, project, monitor, client, 0)) {
            break;
        }
        client.reset();
        Rows rows(project.path() / ".wardlet" / "wardlet.sqlite3");

        // Each new file is named in the map before its first snapshot is stored.
        rows.mark("snapshots");
        std::string const text = std::string(1023, 'y') + '\n';
        auto const started = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < added; ++i) {
            fs::path const file = project.path() / "src" / ("new" + std::to_string(i / 100)) /
                                  ("n" + std::to_string(i) + ".py");
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << text;
        }
        double const create_s = seconds_since(started);
        if (!rows.await("snapshots", "reason = 'added'", added)) {
            state.SkipWithError("the new files were not all tracked");
            break;
        }
        double const tracked_s = seconds_since(started);

        // Not the first file: the editor typed into it, so its change waits for a save.
        rows.mark("file_events");
        std::string const changed = std::string(1023, 'z') + '\n';
        auto const rewriting = std::chrono::steady_clock::now();
        for (std::size_t i = 1; i < tracked; ++i) {
            std::ofstream(project_file(project, i), std::ios::binary) << changed;
        }
        if (!rows.await("file_events", "incident_type = 'FAST_INSERTION'", tracked - 1)) {
            state.SkipWithError("the rewritten files were not all judged");
            break;
        }
        double const modified_s = seconds_since(rewriting);

        rows.mark("file_events");
        fs::create_directories(project.path() / "lib");
        auto const moving = std::chrono::steady_clock::now();
        for (std::size_t i = 1; i <= kMoved; ++i) {
            fs::path const from = project_file(project, i);
            fs::rename(from, project.path() / "lib" / from.filename());
        }
        if (!rows.await("file_events", "action = 'Moved' AND handler_type = 'TRACKEDFILE'",
                        kMoved)) {
            state.SkipWithError("the moved files were not all followed");
            break;
        }
        state.SetIterationTime(tracked_s);
        state.counters["create_s"] = create_s;
        state.counters["tracked_s"] = tracked_s;
        state.counters["modified_s"] = modified_s;
        state.counters["moved_s"] = seconds_since(moving);
    }
    log.reset();
}

}  // namespace

int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string_view const arg = argv[i];
        if (arg.starts_with("--keys=")) {
            keystrokes = std::max<std::size_t>(1, std::stoul(std::string(arg.substr(7))));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    auto const add = [](std::string const& name, std::size_t files, bool by_patterns) {
        benchmark::RegisterBenchmark(
            (name + "/" + std::to_string(files) + "_files").c_str(),
            [files, by_patterns](benchmark::State& state) { run_scale(state, files, by_patterns); })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    for (std::size_t const files : {1, 1001, 5000, 10001}) {
        add("monitor_scale", files, false);
    }
    add("monitor_scale_patterns", 5000, true);
    for (std::size_t const added : {500, 2000}) {
        benchmark::RegisterBenchmark(
            ("monitor_checkout/" + std::to_string(added) + "_files_into_2000").c_str(),
            [added](benchmark::State& state) { run_checkout(state, 2000, added); })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
