#include "files/dir_watcher.hpp"
#include "files/file_listener.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
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
class ScratchDir {
public:
    explicit ScratchDir(std::int64_t in_memory) {
        std::string pattern =
            std::string(in_memory != 0 ? "/dev/shm" : "/tmp") + "/wardlet-bench-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path const& path() const { return path_; }

private:
    fs::path path_;
};

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

// From the close of a completed write to the Modified callback on the watcher's thread.
void BM_WriteToCallbackLatency(benchmark::State& state) {
    ScratchDir dir(state.range(0));
    ModifiedCounter counter;
    DirWatcher watcher;
    if (watcher.add_watch(dir.path().string(), &counter, true) <= 0) {
        state.SkipWithError("add_watch failed");
        return;
    }
    watcher.watch();
    fs::path const file = dir.path() / "file.txt";
    write_small(file, "initial");
    counter.wait_for(1);
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
            state.SkipWithError("no Modified report");
            return;
        }
        std::chrono::duration<double> const latency = *reported - start;
        state.SetIterationTime(latency.count());
        latencies_us.push_back(latency.count() * 1e6);
    }
    state.counters["median_us"] = percentile(latencies_us, 0.5);
    state.counters["p99_us"] = percentile(latencies_us, 0.99);
    // The write itself (open, write, close) is part of the latency above.
    state.counters["write_median_us"] = percentile(writes_us, 0.5);
}
BENCHMARK(BM_WriteToCallbackLatency)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// A burst of 10,000 completed writes spread over 100 files: time until the last callback.
void BM_BurstOf10000Changes(benchmark::State& state) {
    constexpr int kChanges = 10000;
    constexpr int kFiles = 100;
    ScratchDir dir(state.range(0));
    ModifiedCounter counter;
    DirWatcher watcher;
    if (watcher.add_watch(dir.path().string(), &counter, true) <= 0) {
        state.SkipWithError("add_watch failed");
        return;
    }
    watcher.watch();
    std::vector<fs::path> files;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(dir.path() / ("f" + std::to_string(i)));
        write_small(files.back(), "seed");
    }
    counter.wait_for(kFiles);
    double total_seconds = 0;
    double total_lag_seconds = 0;
    std::size_t total_callbacks = 0;
    for (auto _ : state) {
        std::size_t const expected = counter.count() + kChanges;
        auto const start = Clock::now();
        for (int i = 0; i < kChanges; ++i) {
            write_small(files[i % kFiles], "change " + std::to_string(i) + "\n");
        }
        auto const written = Clock::now();
        auto const done = counter.wait_for(expected);
        if (!done) {
            state.SkipWithError("burst not fully reported (kernel queue overflow?)");
            return;
        }
        std::chrono::duration<double> const elapsed = *done - start;
        state.SetIterationTime(elapsed.count());
        total_seconds += elapsed.count();
        total_lag_seconds += std::chrono::duration<double>(*done - written).count();
        total_callbacks += kChanges;
    }
    state.counters["callbacks_per_s"] = static_cast<double>(total_callbacks) / total_seconds;
    // How far the reports trail the writer: the time from the last write to the last callback.
    state.counters["lag_ms"] = total_lag_seconds * 1e3 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BurstOf10000Changes)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Sends standard output to /dev/null while it lives: the listener logs every watch it adds.
class QuietStdout {
public:
    QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int const null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

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
            listener.watch(
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
    QuietStdout quiet;
    ScratchDir dir(state.range(0));
    ListenerRig rig(dir.path());
    fs::path const& file = rig.files[ListenerRig::kFiles / 2];
    std::vector<double> latencies_us;
    for (auto _ : state) {
        std::size_t const expected = rig.counter.count() + 1;
        auto const start = Clock::now();
        write_small(file, "line of text\n");
        auto const handled = rig.counter.wait_for(expected);
        if (!handled) {
            state.SkipWithError("no handler call");
            return;
        }
        std::chrono::duration<double> const latency = *handled - start;
        state.SetIterationTime(latency.count());
        latencies_us.push_back(latency.count() * 1e6);
    }
    state.counters["median_us"] = percentile(latencies_us, 0.5);
    state.counters["p99_us"] = percentile(latencies_us, 0.99);
}
BENCHMARK(BM_WriteToHandlerLatency)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A burst of 10,000 completed writes over the tracked files: time until the last handler call.
void BM_BurstOf10000ChangesToHandlers(benchmark::State& state) {
    constexpr int kChanges = 10000;
    QuietStdout quiet;
    ScratchDir dir(state.range(0));
    ListenerRig rig(dir.path());
    double total_seconds = 0;
    std::size_t total_handled = 0;
    for (auto _ : state) {
        std::size_t const expected = rig.counter.count() + kChanges;
        auto const start = Clock::now();
        for (int i = 0; i < kChanges; ++i) {
            write_small(rig.files[i % ListenerRig::kFiles], "change " + std::to_string(i) + "\n");
        }
        auto const done = rig.counter.wait_for(expected);
        if (!done) {
            state.SkipWithError("burst not fully handled");
            return;
        }
        std::chrono::duration<double> const elapsed = *done - start;
        state.SetIterationTime(elapsed.count());
        total_seconds += elapsed.count();
        total_handled += kChanges;
    }
    state.counters["events_per_s"] = static_cast<double>(total_handled) / total_seconds;
}
BENCHMARK(BM_BurstOf10000ChangesToHandlers)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
