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
//   sqlite_20ms_rows_per_s   the same rows written by SQLite alone, one commit every 20 ms, in the
//                     same run; of_sqlite_20ms = msgs_per_s / sqlite_20ms_rows_per_s
// monitor_spaced_keys measures keystrokes one every 20 ms beside bare commits (see run_spaced).
//
// The figures to watch, in one command:
//   monitor_bench --benchmark_filter='spaced|burst/100KB/group'
// --burst=N sets the length of the writing burst (default 60000), for a quicker look;
// --spaced=N the number of spaced keystrokes (default 500); --threads prints, for the spaced
// keystrokes, what each thread did;
// --before_burst=N that of the run without group commit alone, which writes one row per commit and
// so takes minutes for the whole burst on a slow disk (default: the same as --burst).
#include "app/convert.hpp"
#include "app/log.hpp"
#include "app/wardlet.hpp"
#include "events/file_id.hpp"
#include "store/event_db.hpp"
#include "store/schema.hpp"
#include "tools/send.hpp"

#include "running_monitor.hpp"
#include "sample_session.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/perf_event.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
std::size_t spaced_length = 500;

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
    // Beside the project, for a database the monitor does not see.
    fs::path bare_db() const { return root_ / "bare.sqlite3"; }

private:
    fs::path root_;
};

// The monitor with group commit as the application sets it, or left off (every row in its own
// transaction).
class Monitor : public RunningMonitor {
public:
    Monitor(Scratch const& scratch, bool group_commit)
        : RunningMonitor(scratch.project(), scratch.home(), settings(scratch, group_commit)) {}

private:
    static WardletSettings settings(Scratch const& scratch, bool group_commit) {
        WardletSettings settings;
        settings.socket_path = scratch.socket();
        if (!group_commit) {
            settings.group_commit.reset();
        }
        return settings;
    }
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
    // Polls every `interval`; rows numbered from `first_id` (the rows already there when the
    // measured ones begin are not counted).
    RowWatcher(fs::path const& db, std::size_t expected, std::chrono::microseconds interval = 500us,
               sqlite3_int64 first_id = 1)
        : interval_(interval), first_id_(first_id), wal_(db.native() + "-wal") {
        visible_.reserve(expected);
        // The monitor may be changing the journal mode of the file at this moment: a moment later
        // it can be read.
        auto const give_up = Clock::now() + 10s;
        while (true) {
            if (sqlite3_open_v2(db.c_str(), &conn_, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
                sqlite3_prepare_v2(conn_, "SELECT max(id) FROM vscode_events", -1, &query_,
                                   nullptr) == SQLITE_OK) {
                break;
            }
            sqlite3_close(conn_);
            conn_ = nullptr;
            if (Clock::now() > give_up) {
                std::fprintf(stderr, "monitor_bench: cannot read %s\n", db.c_str());
                std::abort();
            }
            std::this_thread::sleep_for(10ms);
        }
        peak_rss_ = resident_bytes();
        thread_ = std::thread([this] { run(); });
        while (tid_.load() == 0) {
            std::this_thread::yield();
        }
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
    pid_t tid() const { return tid_.load(); }

private:
    void run() {
        tid_ = static_cast<pid_t>(::gettid());
        auto next_sample = Clock::now();
        while (!stopping_) {
            poll();
            if (Clock::now() >= next_sample) {
                peak_rss_ = std::max<std::size_t>(peak_rss_, resident_bytes());
                next_sample = Clock::now() + 20ms;
            }
            cpu_seconds_ = thread_cpu_seconds();
            std::this_thread::sleep_for(interval_);
        }
    }

    // Whether the write-ahead log changed lately. The database is queried only then: a query
    // takes locks that the monitor's connection in this process shares, and polling them all the
    // time would make the monitor wait for its own watcher.
    bool log_changed() {
        struct stat status {};
        auto const now = Clock::now();
        if (::stat(wal_.c_str(), &status) != 0) {
            return true;  // not in write-ahead-log mode (yet)
        }
        if (status.st_mtim.tv_sec != wal_time_.tv_sec ||
            status.st_mtim.tv_nsec != wal_time_.tv_nsec || status.st_size != wal_size_) {
            wal_time_ = status.st_mtim;
            wal_size_ = status.st_size;
            last_change_ = now;
        }
        // The commit's write comes a moment before its rows are visible.
        return now - last_change_ < 5ms;
    }

    void poll() {
        if (!log_changed()) {
            return;
        }
        // A writer committing (SQLITE_BUSY) leaves the rows for the next poll.
        sqlite3_int64 const highest =
            sqlite3_step(query_) == SQLITE_ROW ? sqlite3_column_int64(query_, 0) : 0;
        sqlite3_reset(query_);
        Clock::time_point const now = Clock::now();
        std::lock_guard lock(mutex_);
        sqlite3_int64 const seen = highest - first_id_ + 1;
        if (seen > static_cast<sqlite3_int64>(visible_.size())) {
            visible_.resize(static_cast<std::size_t>(seen), now);
            seen_cv_.notify_all();
        }
    }

    std::chrono::microseconds interval_;
    sqlite3_int64 first_id_;
    std::string wal_;
    timespec wal_time_{};
    off_t wal_size_ = -1;
    Clock::time_point last_change_ = Clock::now();
    std::atomic<pid_t> tid_{0};

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

// ---- what threads cost ------------------------------------------------------------------------

// Per thread of this process: processor time (schedstat), context switches (status) and, where
// the kernel lets this process count them, system calls (a raw_syscalls:sys_enter counter per
// thread). Counting starts at construction; threads made later are not counted.
class ThreadCounters {
public:
    struct Counts {
        double cpu_s = 0;
        std::uint64_t switches = 0;
        std::int64_t syscalls = -1;  // -1: not countable here
    };
    struct PerThread {
        pid_t tid = 0;
        Counts counts;
    };

    explicit ThreadCounters(std::vector<pid_t> tids) {
        std::uint64_t const tracepoint = syscall_tracepoint();
        for (pid_t const tid : tids) {
            Thread thread{tid, read_counts(tid), -1};
            if (tracepoint != 0) {
                perf_event_attr attr{};
                attr.type = PERF_TYPE_TRACEPOINT;
                attr.size = sizeof attr;
                attr.config = tracepoint;
                attr.sample_period = 0;
                thread.perf_fd = static_cast<int>(
                    ::syscall(__NR_perf_event_open, &attr, tid, -1, -1, PERF_FLAG_FD_CLOEXEC));
            }
            threads_.push_back(thread);
        }
    }
    ~ThreadCounters() {
        for (Thread const& thread : threads_) {
            if (thread.perf_fd >= 0) {
                ::close(thread.perf_fd);
            }
        }
    }
    ThreadCounters(ThreadCounters const&) = delete;
    ThreadCounters& operator=(ThreadCounters const&) = delete;

    // Every thread of the process but `excluded`.
    static std::vector<pid_t> threads_except(std::vector<pid_t> const& excluded) {
        std::vector<pid_t> tids;
        for (auto const& entry : fs::directory_iterator("/proc/self/task")) {
            auto const tid = static_cast<pid_t>(std::stol(entry.path().filename().native()));
            if (std::find(excluded.begin(), excluded.end(), tid) == excluded.end()) {
                tids.push_back(tid);
            }
        }
        std::sort(tids.begin(), tids.end());
        return tids;
    }

    // What each thread did since construction.
    std::vector<PerThread> per_thread() const {
        std::vector<PerThread> result;
        for (Thread const& thread : threads_) {
            Counts const now = read_counts(thread.tid);
            PerThread entry{
                thread.tid,
                {now.cpu_s - thread.start.cpu_s, now.switches - thread.start.switches, -1}};
            std::uint64_t calls = 0;
            if (thread.perf_fd >= 0 &&
                ::read(thread.perf_fd, &calls, sizeof calls) == sizeof calls) {
                entry.counts.syscalls = static_cast<std::int64_t>(calls);
            }
            result.push_back(entry);
        }
        return result;
    }

    Counts total() const {
        Counts sum;
        bool countable = !threads_.empty();
        sum.syscalls = 0;
        for (PerThread const& thread : per_thread()) {
            sum.cpu_s += thread.counts.cpu_s;
            sum.switches += thread.counts.switches;
            if (thread.counts.syscalls < 0) {
                countable = false;
            } else {
                sum.syscalls += thread.counts.syscalls;
            }
        }
        if (!countable) {
            sum.syscalls = -1;
        }
        return sum;
    }

private:
    struct Thread {
        pid_t tid;
        Counts start;
        int perf_fd;
    };

    static std::uint64_t syscall_tracepoint() {
        for (char const* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                                 "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
            std::ifstream in(path);
            std::uint64_t id = 0;
            if (in >> id) {
                return id;
            }
        }
        return 0;
    }

    static Counts read_counts(pid_t tid) {
        Counts counts;
        std::string const dir = "/proc/self/task/" + std::to_string(tid);
        std::ifstream schedstat(dir + "/schedstat");
        std::uint64_t ns = 0;
        if (schedstat >> ns) {
            counts.cpu_s = static_cast<double>(ns) / 1e9;
        }
        std::ifstream status(dir + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:")) {
                counts.switches += std::stoull(line.substr(line.find(':') + 1));
            }
        }
        return counts;
    }

    std::vector<Thread> threads_;
};

pid_t this_thread_id() {
    return static_cast<pid_t>(::gettid());
}

// ---- SQLite alone, the yardstick --------------------------------------------------------------

// A database of the monitor's own tables, written by a bare connection in the monitor's journal
// mode with the rows the monitor would write for the same changes: what SQLite itself costs.
class BareWriter {
public:
    BareWriter(fs::path const& db, std::string file) : file_(std::move(file)) {
        if (sqlite3_open(db.c_str(), &conn_) != SQLITE_OK || apply_schema(conn_) ||
            sqlite3_exec(conn_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) !=
                SQLITE_OK ||
            sqlite3_exec(conn_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) !=
                SQLITE_OK) {
            std::fprintf(stderr, "monitor_bench: cannot write %s\n", db.c_str());
            std::abort();
        }
        sqlite3_prepare_v2(conn_,
                           "INSERT INTO vscode_events (timestamp, type, filepath, fid, inserted, "
                           "deleted, is_undo_redo, is_copy_paste, internal_copy, copy_buf, "
                           "is_saved, hash, change_offset, copy_source, copy_source_offset, "
                           "mirror_seq, editor) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                           "?, ?, ?)",
                           -1, &insert_, nullptr);
        sqlite3_prepare_v2(conn_, "BEGIN IMMEDIATE", -1, &begin_, nullptr);
        sqlite3_prepare_v2(conn_, "COMMIT", -1, &commit_, nullptr);
    }
    ~BareWriter() {
        sqlite3_finalize(insert_);
        sqlite3_finalize(begin_);
        sqlite3_finalize(commit_);
        sqlite3_close(conn_);
    }
    BareWriter(BareWriter const&) = delete;
    BareWriter& operator=(BareWriter const&) = delete;

    void begin() { run(begin_); }
    void commit() { run(commit_); }
    void insert(Change const& change, std::uint64_t seq) {
        std::string const stamp = timestamp2str(now_timestamp());
        sqlite3_bind_text(insert_, 1, stamp.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_, 2, "change", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert_, 3, file_.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_, 4, "1234567;2049", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert_, 5, change.inserted.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert_, 6, static_cast<sqlite3_int64>(change.deleted));
        for (int column = 7; column <= 9; ++column) {
            sqlite3_bind_int64(insert_, column, 0);
        }
        sqlite3_bind_text(insert_, 10, "", -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert_, 11, 0);
        sqlite3_bind_text(insert_, 12, "<hash>", -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert_, 13, static_cast<sqlite3_int64>(change.offset));
        sqlite3_bind_null(insert_, 14);
        sqlite3_bind_null(insert_, 15);
        sqlite3_bind_int64(insert_, 16, static_cast<sqlite3_int64>(seq));
        sqlite3_bind_text(insert_, 17, "vscode", -1, SQLITE_STATIC);
        run(insert_);
        sqlite3_clear_bindings(insert_);
    }

private:
    static void run(sqlite3_stmt* stmt) {
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            std::fprintf(stderr, "monitor_bench: bare write failed\n");
            std::abort();
        }
        sqlite3_reset(stmt);
    }

    std::string file_;
    sqlite3* conn_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
};

// The rows of `changes` written as fast as SQLite takes them, one commit every `every`: rows per
// second.
double bare_burst_rate(fs::path const& db, std::string const& file,
                       std::vector<Change> const& changes, std::size_t count,
                       std::chrono::milliseconds every) {
    BareWriter writer(db, file);
    auto const start = std::chrono::steady_clock::now();
    auto group_start = start;
    writer.begin();
    for (std::size_t i = 0; i < count; ++i) {
        writer.insert(changes[i], i + 1);
        if (std::chrono::steady_clock::now() - group_start >= every) {
            writer.commit();
            writer.begin();
            group_start = std::chrono::steady_clock::now();
        }
    }
    writer.commit();
    double const elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(count) / elapsed;
}

// ---- the measurements -------------------------------------------------------------------------

// The editor's end of the monitor's socket; none when it cannot connect, the benchmark then
// skipped with the reason (the log restored first, so that the reason is seen).
std::optional<MonitorConnection> connect_or_skip(benchmark::State& state, Scratch const& scratch,
                                                 std::optional<LogToFile>& log) {
    try {
        return std::optional<MonitorConnection>(std::in_place, scratch.socket());
    } catch (SendError const& error) {
        log.reset();
        state.SkipWithError(error.what());
        return std::nullopt;
    }
}

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
    // The yardstick: SQLite alone writing the same rows, a commit every 20 ms.
    double const bare_rate =
        bare_burst_rate(scratch.bare_db(), scratch.tracked().native(), changes, count, 20ms);

    std::optional<LogToFile> log(scratch.log());
    std::optional<Monitor> monitor(std::in_place, scratch, group_commit);
    std::optional<RowWatcher> rows(std::in_place, scratch.db(), lines.size());
    // The editor's end of the socket.
    std::optional<MonitorConnection> client = connect_or_skip(state, scratch, log);
    if (!client) {
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
        double const rate =
            static_cast<double>(count) / std::chrono::duration<double>(elapsed).count();
        state.counters["msgs_per_s"] = rate;
        state.counters["sqlite_20ms_rows_per_s"] = bare_rate;
        state.counters["of_sqlite_20ms"] = rate / bare_rate;
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

// Prints what each counted thread did, with `label`, when --threads is given.
bool show_threads = false;

void print_threads(char const* label, ThreadCounters const& counters, std::size_t keys) {
    if (!show_threads) {
        return;
    }
    std::fprintf(stderr, "%s, per keystroke:\n", label);
    for (auto const& [tid, counts] : counters.per_thread()) {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string name;
        std::getline(comm, name);
        std::fprintf(stderr, "  %-15s %d: cpu %.1f us, %.2f switches, %.2f system calls\n",
                     name.c_str(), tid, counts.cpu_s * 1e6 / static_cast<double>(keys),
                     static_cast<double>(counts.switches) / static_cast<double>(keys),
                     static_cast<double>(counts.syscalls) / static_cast<double>(keys));
    }
}

// Keystrokes one every `spacing`, as someone typing: what each costs the monitor's threads and
// how long its row takes to become visible, beside a bare connection committing the same rows one
// at a time, on the same schedule, in the same run:
//   cpu_us_per_key, syscalls_per_key, switches_per_key   the monitor's threads, per keystroke
//   commit_syscalls, commit_switches   the bare connection's, per commit (its wait between
//                      keystrokes, one sleep, taken out): the commit's own
//   beyond_commit_syscalls / _switches   the monitor's less the commit's own
//   send_p50/p99_ms, commit_p50/p99_ms   from the write of the message, or the start of the bare
//                      commit, to its row being visible; p50_of_commit = send_p50 / commit_p50
//   log_writes_per_msg   the log's writes per message (its lines are written in batches)
// System calls are counted only where the kernel lets the process count them (-1 otherwise).
void run_spaced(benchmark::State& state, std::size_t size, std::size_t count,
                std::chrono::milliseconds spacing) {
    constexpr auto kPoll = 100us;
    Scratch scratch(size);
    // The first change warms the connection up and is not counted.
    std::vector<Change> const changes = writing_session(size, count + 1);
    std::vector<std::string> lines;
    for (Change const& change : changes) {
        lines.push_back(message_line(scratch.tracked().native(), change));
    }
    auto const latencies = [&](RowWatcher& rows, std::vector<Clock::time_point> const& sent) {
        std::vector<Clock::duration> latency;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            latency.push_back(rows.visible(i) - sent[i]);
        }
        return latency;
    };

    for (auto _ : state) {
        // SQLite alone.
        std::vector<Clock::time_point> bare_sent(count);
        ThreadCounters::Counts bare;
        {
            BareWriter writer(scratch.bare_db(), scratch.tracked().native());
            RowWatcher rows(scratch.bare_db(), count, kPoll);
            ThreadCounters counters({this_thread_id()});
            auto const start = Clock::now() + spacing;
            for (std::size_t i = 0; i < count; ++i) {
                std::this_thread::sleep_until(start + i * spacing);
                bare_sent[i] = Clock::now();
                writer.begin();
                writer.insert(changes[i + 1], i + 1);
                writer.commit();
            }
            bare = counters.total();
            print_threads("bare commits", counters, count);
            if (!rows.wait_for(count, 10s)) {
                state.SkipWithError("the bare rows did not become visible");
                break;
            }
            std::vector<Clock::duration> const latency = latencies(rows, bare_sent);
            state.counters["commit_p50_ms"] = percentile_ms(latency, 0.5);
            state.counters["commit_p99_ms"] = percentile_ms(latency, 0.99);
        }
        // Every key waited once, for the next one: not the commit's.
        auto const keys = static_cast<double>(count);
        double const commit_syscalls =
            bare.syscalls < 0 ? -1 : (static_cast<double>(bare.syscalls) - keys) / keys;
        double const commit_switches =
            std::max(0.0, static_cast<double>(bare.switches) - keys) / keys;
        state.counters["commit_syscalls"] = commit_syscalls;
        state.counters["commit_switches"] = commit_switches;

        // The monitor.
        std::optional<LogToFile> log(scratch.log());
        std::optional<Monitor> monitor(std::in_place, scratch, true);
        std::optional<RowWatcher> rows(std::in_place, scratch.db(), count + 1, kPoll);
        std::optional<MonitorConnection> client = connect_or_skip(state, scratch, log);
        if (!client) {
            break;
        }
        client->send(lines[0]);
        if (!rows->wait_for(1, 10s)) {
            state.SkipWithError("the first row did not become visible");
            break;
        }
        std::this_thread::sleep_for(10 * spacing);
        std::vector<Clock::time_point> sent(count);
        std::uint64_t const log_writes_before = log_write_count();
        ThreadCounters counters(ThreadCounters::threads_except({this_thread_id(), rows->tid()}));
        auto const start = Clock::now() + spacing;
        for (std::size_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(start + i * spacing);
            sent[i] = Clock::now();
            client->send(lines[i + 1]);
        }
        if (!rows->wait_for(count + 1, 10s)) {
            state.SkipWithError("the rows did not all become visible");
            break;
        }
        // What the last keystroke still sets going (the log's write, say) belongs to it.
        std::this_thread::sleep_for(spacing);
        ThreadCounters::Counts const used = counters.total();
        print_threads("monitor", counters, count);
        std::uint64_t const log_writes_after = log_write_count();
        std::vector<Clock::duration> latency;
        for (std::size_t i = 0; i < count; ++i) {
            latency.push_back(rows->visible(i + 1) - sent[i]);
        }
        double const syscalls = used.syscalls < 0 ? -1 : static_cast<double>(used.syscalls) / keys;
        double const switches = static_cast<double>(used.switches) / keys;
        state.counters["cpu_us_per_key"] = used.cpu_s * 1e6 / keys;
        state.counters["syscalls_per_key"] = syscalls;
        state.counters["switches_per_key"] = switches;
        state.counters["beyond_commit_syscalls"] =
            syscalls < 0 || commit_syscalls < 0 ? -1 : syscalls - commit_syscalls;
        state.counters["beyond_commit_switches"] = switches - commit_switches;
        state.counters["send_p50_ms"] = percentile_ms(latency, 0.5);
        state.counters["send_p99_ms"] = percentile_ms(latency, 0.99);
        state.counters["p50_of_commit"] =
            percentile_ms(latency, 0.5) / state.counters["commit_p50_ms"];
        state.counters["log_writes_per_msg"] =
            static_cast<double>(log_writes_after - log_writes_before) / keys;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        client.reset();
        rows.reset();
        monitor.reset();
        log.reset();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(count));
}

void register_benchmarks() {
    benchmark::RegisterBenchmark(
        "monitor_spaced_keys/10KB",
        [](benchmark::State& state) { run_spaced(state, 10 << 10, spaced_length, 20ms); })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
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
        } else if (arg.starts_with("--spaced=")) {
            spaced_length = std::max<std::size_t>(1, std::stoul(std::string(arg.substr(9))));
        } else if (arg == "--threads") {
            show_threads = true;
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
