// Throughput of the assembled monitor: change messages from a client on the editor socket, through
// the reader, the insertion buffer and the bus, into rows committed to a database file on disk, as
// a reviewer's second, read-only connection sees them.
//
// Each benchmark runs once on a fresh monitor (temporary project and HOME, its own socket, the log
// going to a file) and reports its figures as counters:
//   msgs_per_s        messages of the burst / (last row visible - first message sent)
//   arrival_p50/p99   from a message's arrival in the monitor (the row's own timestamp, taken when
//                     the line is parsed) to its row being visible, in ms
//   send_p50/p99      from the client's write of the message to its row being visible, in ms
//   rss_growth_MB     peak resident size during the burst minus the size before it
//   cpu_us_per_msg    processor time of the monitor's threads over the burst, per message (the
//                     process's time less the client's and the watcher's): unlike the rates, it
//                     hardly depends on what else runs on the machine
//   lone_p50/p99      one change at a time: from its write to its row being visible, in ms
//
// --burst=N sets the length of the writing burst (default 60000), for a quicker look;
// --before_burst=N that of the run without group commit alone, which writes one row per commit and
// so takes minutes for the whole burst on a slow disk (default: the same as --burst).
#include "app/convert.hpp"
#include "app/wardlet.hpp"
#include "events/file_id.hpp"
#include "tools/send.hpp"

#include "sample_session.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
// The clock of the rows' timestamps, so that arrival and visibility compare directly.
using Clock = std::chrono::system_clock;

namespace {

std::size_t burst_length = 60000;
std::size_t before_burst_length = 0;  // 0: as burst_length

// ---- the writing session ----------------------------------------------------------------------

struct Change {
    std::uint64_t offset = 0;
    std::uint64_t deleted = 0;
    std::string inserted;
};

// Code-like text, word by word, with lines of 40 to 90 columns.
class TextSource {
public:
    explicit TextSource(std::uint32_t seed) : rng_(seed) {}

    char next() {
        if (word_.empty()) {
            if (column_ > line_width_) {
                column_ = 0;
                line_width_ = 40 + rng_() % 50;
                return '\n';
            }
            static constexpr std::string_view kWords[] = {
                "value", "return", "index", "if",   "for",  "count", "buffer", "while",      "int",
                "auto",  "const",  "file",  "next", "line", "of",    "to",     "and",        "=",
                "+=",    "size()", "(x);",  "{",    "}",    "the",   "result", "std::string"};
            word_ = kWords[rng_() % std::size(kWords)];
            word_ += ' ';
        }
        char const c = word_.front();
        word_.erase(0, 1);
        ++column_;
        return c;
    }

private:
    std::mt19937 rng_;
    std::string word_;
    std::size_t column_ = 0;
    std::size_t line_width_ = 70;
};

std::string file_text(std::size_t size) {
    TextSource source(7);
    std::string text;
    text.reserve(size);
    while (text.size() < size) {
        text.push_back(source.next());
    }
    return text;
}

// Single-character edits of someone writing into a file of `size` bytes: typing at the cursor,
// a newline now and then, backspaces (sometimes a whole word's worth) and, rarely, a move of the
// cursor to another place in the file.
std::vector<Change> writing_session(std::size_t size, std::size_t count) {
    std::mt19937 rng(42);
    TextSource source(43);
    std::vector<Change> changes;
    changes.reserve(count);
    std::uint64_t length = size;
    std::uint64_t cursor = size / 2;
    int erasing = 0;
    while (changes.size() < count) {
        std::uint32_t const roll = rng() % 1000;
        if (roll < 3) {
            cursor = rng() % (length + 1);
            continue;
        }
        if (erasing == 0 && roll < 60) {
            erasing = roll < 10 ? 2 + static_cast<int>(rng() % 6) : 1;
        }
        if (erasing > 0 && cursor > 0) {
            --erasing;
            --cursor;
            --length;
            changes.push_back({cursor, 1, ""});
            continue;
        }
        erasing = 0;
        changes.push_back({cursor, 0, std::string(1, source.next())});
        ++cursor;
        ++length;
    }
    return changes;
}

std::string message_line(std::string const& file, Change const& change) {
    return change_message(file, change.offset, change.deleted, change.inserted) + "\n";
}

// ---- the process around the monitor -----------------------------------------------------------

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

std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

bool is_tmpfs(fs::path const& path) {
    struct statfs info {};
    return ::statfs(path.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// A project with one tracked file and its own HOME, on a disk file system; removed afterwards.
class Scratch {
public:
    explicit Scratch(std::size_t tracked_size) {
        fs::path const parent = is_tmpfs("/tmp") ? fs::path(MONITOR_BENCH_DISK_DIR) : "/tmp";
        std::string pattern = (parent / "wardlet-bench-XXXXXX").native();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root_ = pattern;
        fs::create_directories(project() / ".wardlet");
        fs::create_directories(root_ / "home");
        std::ofstream(tracked(), std::ios::binary) << file_text(tracked_size);
        FileId const fid = file_id_of(tracked());
        std::ofstream(project() / ".wardlet" / "tracked")
            << fid.first << ';' << fid.second << ';' << tracked().native() << '\n';
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path project() const { return root_ / "project"; }
    fs::path home() const { return root_ / "home"; }
    fs::path tracked() const { return project() / "notes.md"; }
    fs::path db() const { return project() / ".wardlet" / "wardlet.sqlite3"; }
    std::string socket() const { return (root_ / "editor.sock").native(); }
    fs::path log() const { return root_ / "monitor.log"; }

private:
    fs::path root_;
};

// Standard output, where the monitor logs, goes to a file while it lives.
class LogToFile {
public:
    explicit LogToFile(fs::path const& path) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~LogToFile() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

// The monitor as the application object assembles it, with the accept loop on a thread of its
// own. Group commit is as the application sets it, or left off (every row in its own transaction).
class Monitor {
public:
    Monitor(Scratch const& scratch, bool group_commit) {
        ::setenv("HOME", scratch.home().c_str(), 1);
        WardletSettings settings;
        settings.socket_path = scratch.socket();
        if (!group_commit) {
            settings.group_commit.reset();
        }
        wardlet_.emplace(scratch.project(), false, std::move(settings));
        loop_ = std::thread([this] { wardlet_->start(); });
    }
    ~Monitor() {
        wardlet_->stop();
        loop_.join();
        wardlet_->finish();
    }

private:
    std::optional<Wardlet> wardlet_;
    std::thread loop_;
};

// The rows' "YYYY-MM-DD HH:MM:SS.fffffffff" (UTC) read back cheaply: the watcher shares the
// machine with the monitor it measures.
Clock::time_point row_time(char const* text) {
    if (text == nullptr || std::strlen(text) < 29) {
        return {};
    }
    auto const number = [text](int at, int digits) {
        long value = 0;
        for (int i = at; i < at + digits; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    std::chrono::sys_days const day =
        std::chrono::year_month_day(std::chrono::year(static_cast<int>(number(0, 4))),
                                    std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                    std::chrono::day(static_cast<unsigned>(number(8, 2))));
    auto const time = std::chrono::hours(number(11, 2)) + std::chrono::minutes(number(14, 2)) +
                      std::chrono::seconds(number(17, 2)) + std::chrono::nanoseconds(number(20, 9));
    return std::chrono::time_point_cast<Clock::duration>(day + time);
}

// A reviewer's read-only connection, polled for the highest editor row id: a short query, so the
// watching itself seldom keeps a commit waiting. For each row, in id order, when it became visible.
// Also samples the process's resident size.
class RowWatcher {
public:
    RowWatcher(fs::path const& db, std::size_t expected) {
        visible_.reserve(expected);
        // The monitor may still be switching its new database to write-ahead logging.
        if (sqlite3_open_v2(db.c_str(), &conn_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
            sqlite3_busy_timeout(conn_, 5000) != SQLITE_OK ||
            sqlite3_prepare_v2(conn_, "SELECT max(id) FROM vscode_events", -1, &query_, nullptr) !=
                SQLITE_OK) {
            std::fprintf(stderr, "monitor_bench: cannot read %s: %s\n", db.c_str(),
                         sqlite3_errmsg(conn_));
            std::abort();
        }
        peak_rss_ = resident_bytes();
        thread_ = std::thread([this] { run(); });
    }
    ~RowWatcher() {
        stopping_ = true;
        thread_.join();
        sqlite3_finalize(query_);
        sqlite3_close(conn_);
    }

    // Waits, at most `bound`, until `count` rows are visible.
    bool wait_for(std::size_t count, std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        return seen_cv_.wait_for(lock, bound, [&] { return visible_.size() >= count; });
    }
    // Read once wait_for has returned true for at least the rows read.
    Clock::time_point visible(std::size_t row) {
        std::lock_guard lock(mutex_);
        return visible_[row];
    }
    void reset_peak() { peak_rss_ = resident_bytes(); }
    std::size_t peak_rss() const { return peak_rss_; }
    // The processor time the watcher itself has used so far.
    double cpu_seconds() const { return cpu_seconds_; }

private:
    void run() {
        auto next_sample = Clock::now();
        while (!stopping_) {
            poll();
            if (Clock::now() >= next_sample) {
                peak_rss_ = std::max<std::size_t>(peak_rss_, resident_bytes());
                next_sample = Clock::now() + 20ms;
            }
            cpu_seconds_ = thread_cpu_seconds();
            std::this_thread::sleep_for(500us);
        }
    }

    void poll() {
        // A writer committing (SQLITE_BUSY) leaves the rows for the next poll.
        sqlite3_int64 const highest =
            sqlite3_step(query_) == SQLITE_ROW ? sqlite3_column_int64(query_, 0) : 0;
        sqlite3_reset(query_);
        Clock::time_point const now = Clock::now();
        std::lock_guard lock(mutex_);
        if (highest > static_cast<sqlite3_int64>(visible_.size())) {
            visible_.resize(static_cast<std::size_t>(highest), now);
            seen_cv_.notify_all();
        }
    }

    sqlite3* conn_ = nullptr;
    sqlite3_stmt* query_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> peak_rss_{0};
    std::atomic<double> cpu_seconds_{0};

    std::mutex mutex_;
    std::condition_variable seen_cv_;
    std::vector<Clock::time_point> visible_;
};

// When each editor row's message arrived in the monitor: the row's own timestamp, in id order.
std::vector<Clock::time_point> arrivals(fs::path const& db) {
    std::vector<Clock::time_point> times;
    sqlite3* conn = nullptr;
    sqlite3_stmt* query = nullptr;
    if (sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(conn, "SELECT timestamp FROM vscode_events ORDER BY id", -1, &query,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(query) == SQLITE_ROW) {
            times.push_back(row_time(reinterpret_cast<char const*>(sqlite3_column_text(query, 0))));
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(conn);
    return times;
}

double percentile_ms(std::vector<Clock::duration> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
    index = std::min(index, values.size() - 1);
    return std::chrono::duration<double, std::milli>(values[index]).count();
}

// ---- the measurements -------------------------------------------------------------------------

// A burst of `count` edits written as fast as the socket takes them, then, when `lone` is not 0,
// that many further edits one at a time, each waiting for its row.
void run_monitor(benchmark::State& state, std::size_t size, std::size_t count, std::size_t lone,
                 bool group_commit) {
    Scratch scratch(size);
    std::vector<Change> const changes = writing_session(size, count + lone);
    std::vector<std::string> lines;
    lines.reserve(changes.size());
    for (Change const& change : changes) {
        lines.push_back(message_line(scratch.tracked().native(), change));
    }
    std::vector<Clock::time_point> sent(lines.size());

    std::optional<LogToFile> log(scratch.log());
    std::optional<Monitor> monitor(std::in_place, scratch, group_commit);
    std::optional<RowWatcher> rows(std::in_place, scratch.db(), lines.size());
    // The editor's end of the socket.
    std::optional<MonitorConnection> client;
    try {
        client.emplace(scratch.socket());
    } catch (SendError const& error) {
        log.reset();
        state.SkipWithError(error.what());
        return;
    }

    for (auto _ : state) {
        rows->reset_peak();
        std::size_t const rss_before = resident_bytes();
        double const process_before = process_cpu_seconds();
        double const watcher_before = rows->cpu_seconds();
        double const client_before = thread_cpu_seconds();
        for (std::size_t i = 0; i < count; ++i) {
            client->send(lines[i]);
            sent[i] = Clock::now();
        }
        double const client_cpu = thread_cpu_seconds() - client_before;
        bool const burst_done = rows->wait_for(count, 600s);
        std::size_t const rss_peak = rows->peak_rss();
        double const monitor_cpu = process_cpu_seconds() - process_before - client_cpu -
                                   (rows->cpu_seconds() - watcher_before);
        if (!burst_done) {
            state.SkipWithError("rows of the burst did not all become visible");
            break;
        }
        auto const elapsed = rows->visible(count - 1) - sent[0];
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());

        std::vector<Clock::time_point> const arrived = arrivals(scratch.db());
        if (arrived.size() < count) {
            state.SkipWithError("rows of the burst could not be read back");
            break;
        }
        std::vector<Clock::duration> from_arrival;
        std::vector<Clock::duration> from_send;
        for (std::size_t i = 0; i < count; ++i) {
            from_arrival.push_back(rows->visible(i) - arrived[i]);
            from_send.push_back(rows->visible(i) - sent[i]);
        }
        state.counters["msgs_per_s"] =
            static_cast<double>(count) / std::chrono::duration<double>(elapsed).count();
        state.counters["arrival_p50_ms"] = percentile_ms(from_arrival, 0.5);
        state.counters["arrival_p99_ms"] = percentile_ms(from_arrival, 0.99);
        state.counters["send_p50_ms"] = percentile_ms(from_send, 0.5);
        state.counters["send_p99_ms"] = percentile_ms(from_send, 0.99);
        state.counters["cpu_us_per_msg"] = monitor_cpu * 1e6 / static_cast<double>(count);
        state.counters["rss_growth_MB"] =
            static_cast<double>(rss_peak > rss_before ? rss_peak - rss_before : 0) / (1 << 20);

        std::vector<Clock::duration> lone_latency;
        for (std::size_t i = count; i < count + lone; ++i) {
            client->send(lines[i]);
            sent[i] = Clock::now();
            if (!rows->wait_for(i + 1, 10s)) {
                state.SkipWithError("a lone change's row did not become visible");
                break;
            }
            lone_latency.push_back(rows->visible(i) - sent[i]);
        }
        if (lone != 0) {
            state.counters["lone_p50_ms"] = percentile_ms(lone_latency, 0.5);
            state.counters["lone_p99_ms"] = percentile_ms(lone_latency, 0.99);
        }
    }
    rows.reset();
    monitor.reset();
    log.reset();
    state.SetItemsProcessed(static_cast<std::int64_t>(count));
}

void register_benchmarks() {
    for (bool const group_commit : {false, true}) {
        std::string const mode = group_commit ? "group_commit" : "autocommit";
        for (auto const& [name, size] :
             {std::pair<char const*, std::size_t>{"10KB", 10 << 10}, {"1MB", 1 << 20}}) {
            benchmark::RegisterBenchmark(
                ("monitor_changes/" + std::string(name) + "/" + mode).c_str(),
                [size = size, group_commit](benchmark::State& state) {
                    run_monitor(state, size, 3000, 300, group_commit);
                })
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (bool const group_commit : {false, true}) {
        std::string const mode = group_commit ? "group_commit" : "autocommit";
        benchmark::RegisterBenchmark(
            ("monitor_writing_burst/100KB/" + mode).c_str(),
            [group_commit](benchmark::State& state) {
                std::size_t const length =
                    group_commit || before_burst_length == 0 ? burst_length : before_burst_length;
                run_monitor(state, 100 << 10, length, 0, group_commit);
            })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string_view const arg = argv[i];
        if (arg.starts_with("--burst=")) {
            burst_length = std::max<std::size_t>(1, std::stoul(std::string(arg.substr(8))));
        } else if (arg.starts_with("--before_burst=")) {
            before_burst_length = std::max<std::size_t>(1, std::stoul(std::string(arg.substr(15))));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // The watcher's reading of row times must agree with the monitor's writing of them.
    Timestamp const probe = now_timestamp();
    if (row_time(timestamp2str(probe).c_str()) !=
        std::chrono::time_point_cast<Clock::duration>(probe)) {
        std::fprintf(stderr, "monitor_bench: row times are misread\n");
        return 1;
    }
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
