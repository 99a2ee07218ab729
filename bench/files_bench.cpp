#include "files/dir_watcher.hpp"
#include "files/file_listener.hpp"
#include "sample_session.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Below /tmp (on disk here) for argument 0, below /dev/shm (in memory) for argument 1, which
// leaves the watcher's own cost once the file system's cost is out of the way.
ScratchDir scratch_dir(std::int64_t in_memory) {
    return ScratchDir(in_memory != 0 ? "/dev/shm" : "/tmp", "wardlet-bench");
}

// Counts Modified reports and remembers when the last one arrived.
class ModifiedCounter : public DirWatchListener {
public:
    void handleFileAction(WatchId, std::string const&, std::string const&, FileAction action,
                          std::string) override {
        record(action);
    }

    void record(FileAction action) {
        if (action != FileActions::Modified) {
            return;
        }
        std::lock_guard lock(mutex_);
        ++count_;
        last_ = Clock::now();
        cv_.notify_all();
    }

    // Waits until `count` reports have arrived; the time of the last one, or nothing on time-out.
    std::optional<Clock::time_point> wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return count_ >= count; })) {
            return std::nullopt;
        }
        return last_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::size_t count_ = 0;
    Clock::time_point last_;
};

void write_small(fs::path const& path, std::string const& content) {
    int const fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    [[maybe_unused]] auto const written = write(fd, content.data(), content.size());
    close(fd);
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    auto const index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

// Per iteration, from the start of a small write to `file` until `counter` has seen it: the
// iteration's time, and the median_us and p99_us counters. Returns how long the writes alone
// took, in microseconds; nothing, after skipping with `missing`, when a report never came.
std::optional<std::vector<double>> time_writes(benchmark::State& state, ModifiedCounter& counter,
                                               fs::path const& file, char const* missing) {
    std::vector<double> latencies_us;
    std::vector<double> writes_us;
    for (auto _ : state) {
        std::size_t const expected = counter.count() + 1;
        auto const start = Clock::now();
        write_small(file, "line of text\n");
        writes_us.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        auto const reported = counter.wait_for(expected);
        if (!reported) {
            state.SkipWithError(missing);
            return std::nullopt;
        }
        std::chrono::duration<double> const latency = *reported - start;
        state.SetIterationTime(latency.count());
        latencies_us.push_back(latency.count() * 1e6);
    }
    state.counters["median_us"] = percentile(latencies_us, 0.5);
    state.counters["p99_us"] = percentile(latencies_us, 0.99);
    return writes_us;
}

struct BurstTotals {
    double seconds = 0;
    double lag_seconds = 0;  // from the last write to the last report
    std::size_t changes = 0;
};

// Per iteration, `changes` completed writes spread over `files`, until `counter` has seen them
// all: the iteration's time. Nothing, after skipping with `missing`, when reports are lost.
std::optional<BurstTotals> time_bursts(benchmark::State& state, ModifiedCounter& counter,
                                       std::vector<fs::path> const& files, std::size_t changes,
                                       char const* missing) {
    BurstTotals totals;
    for (auto _ : state) {
        std::size_t const expected = counter.count() + changes;
        auto const start = Clock::now();
        for (std::size_t i = 0; i < changes; ++i) {
            write_small(files[i % files.size()], "change " + std::to_string(i) + "\n");
        }
        auto const written = Clock::now();
        auto const done = counter.wait_for(expected);
        if (!done) {
            state.SkipWithError(missing);
            return std::nullopt;
        }
        std::chrono::duration<double> const elapsed = *done - start;
        state.SetIterationTime(elapsed.count());
        totals.seconds += elapsed.count();
        totals.lag_seconds += std::chrono::duration<double>(*done - written).count();
        totals.changes += changes;
    }
    return totals;
}

// A recursive directory watcher on a scratch directory (see scratch_dir), counting its reports.
struct WatchRig {
    explicit WatchRig(std::int64_t in_memory) : dir(scratch_dir(in_memory)) {}

    // Whether the watch could be added; the watcher then runs.
    bool start() {
        if (watcher.add_watch(dir.path().string(), &counter, true) <= 0) {
            return false;
        }
        watcher.watch();
        return true;
    }

    ScratchDir const dir;
    ModifiedCounter counter;
    DirWatcher watcher;
};

// From the close of a completed write to the Modified callback on the watcher's thread.
void BM_WriteToCallbackLatency(benchmark::State& state) {
    WatchRig rig(state.range(0));
    if (!rig.start()) {
        state.SkipWithError("add_watch failed");
        return;
    }
    fs::path const file = rig.dir.path() / "file.txt";
    write_small(file, "initial");
    rig.counter.wait_for(1);
    if (auto const writes_us = time_writes(state, rig.counter, file, "no Modified report")) {
        // The write itself (open, write, close) is part of the latency above.
        state.counters["write_median_us"] = percentile(*writes_us, 0.5);
    }
}
BENCHMARK(BM_WriteToCallbackLatency)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// A burst of 10,000 completed writes spread over 100 files: time until the last callback.
void BM_BurstOf10000Changes(benchmark::State& state) {
    constexpr std::size_t kChanges = 10000;
    constexpr int kFiles = 100;
    WatchRig rig(state.range(0));
    if (!rig.start()) {
        state.SkipWithError("add_watch failed");
        return;
    }
    std::vector<fs::path> files;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(rig.dir.path() / ("f" + std::to_string(i)));
        write_small(files.back(), "seed");
    }
    rig.counter.wait_for(kFiles);
    auto const totals = time_bursts(state, rig.counter, files, kChanges,
                                    "burst not fully reported (kernel queue overflow?)");
    if (!totals) {
        return;
    }
    state.counters["callbacks_per_s"] = static_cast<double>(totals->changes) / totals->seconds;
    // How far the reports trail the writer: the time from the last write to the last callback.
    state.counters["lag_ms"] = totals->lag_seconds * 1e3 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BurstOf10000Changes)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A file listener as the monitor runs it: its watcher publishes on a real bus, whose worker looks
// the registry up and calls the handler. kFiles tracked files are registered one by one, each
// with the handler that counts Modified events.
struct ListenerRig {
    static constexpr int kFiles = 100;

    explicit ListenerRig(fs::path const& root)
        : env(detect_env(root, false)), db((root / "events.sqlite3").native()) {
        bus.subscribe(BaseEvent::Types::FILE_EVENT, [this](Event e) { listener.handle(e); });
        for (int i = 0; i < kFiles; ++i) {
            files.push_back(root / "proj" / ("f" + std::to_string(i)));
            listener.watch_creating(
                files.back(), [this](FileEvent& e) { counter.record(e.action); }, false);
        }
        listener.start();
    }
    ~ListenerRig() { bus.stop(); }  // no delivery to the listener once it is gone

    ModifiedCounter counter;
    Env env;
    EventBus bus;
    EventDB db;
    InsertionBuffer ibuf;
    FileListener listener{bus, db, ibuf, env};
    std::vector<fs::path> files;
};

// From the start of a completed write to the tracked file's handler on the bus worker.
void BM_WriteToHandlerLatency(benchmark::State& state) {
    QuietStdout quiet;  // the listener logs every watch it adds
    ScratchDir const dir = scratch_dir(state.range(0));
    ListenerRig rig(dir.path());
    time_writes(state, rig.counter, rig.files[ListenerRig::kFiles / 2], "no handler call");
}
BENCHMARK(BM_WriteToHandlerLatency)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A burst of 10,000 completed writes over the tracked files: time until the last handler call.
void BM_BurstOf10000ChangesToHandlers(benchmark::State& state) {
    constexpr std::size_t kChanges = 10000;
    QuietStdout quiet;
    ScratchDir const dir = scratch_dir(state.range(0));
    ListenerRig rig(dir.path());
    if (auto const totals =
            time_bursts(state, rig.counter, rig.files, kChanges, "burst not fully handled")) {
        state.counters["events_per_s"] = static_cast<double>(totals->changes) / totals->seconds;
    }
}
BENCHMARK(BM_BurstOf10000ChangesToHandlers)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
