#include "log_redirect.hpp"
#include "sample_session.hpp"
#include "store/event_db.hpp"
#include "tools/report_render.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFiles = 10;
constexpr std::size_t kChanges = 100'000;
constexpr std::size_t kFileSize = 20 * 1024;

// A project database as the monitor writes it: the start snapshots of 10 files of 20 KB, then
// 100,000 editor rows spread over them (typing at wandering cursors, backspaces, pastes, some of
// them internal copies, undos, saves) and a fast insertion in every file.
struct Recording {
    ScratchDir dir{REPORT_BENCH_DISK_DIR, "wardlet-report"};
    fs::path project = dir.path() / "proj";
    fs::path db = project / ".wardlet" / "wardlet.sqlite3";

    Recording() {
        fs::create_directories(db.parent_path());
        std::mt19937 random(7);
        std::vector<std::string> docs(kFiles);
        std::vector<std::string> paths(kFiles);
        std::vector<std::size_t> cursors(kFiles);
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::milliseconds(50));
        for (std::size_t f = 0; f < kFiles; ++f) {
            paths[f] = (project / "src" / ("unit_" + std::to_string(f) + ".cpp")).native();
            docs[f] = sample_source(kFileSize, "compute(x)");
            cursors[f] = docs[f].size() / 2;
            events.store_snapshot(paths[f], {f + 1, 2049}, SnapshotReason::START, docs[f]);
        }
        VSCodeEvent event;
        event.type = BaseEvent::Types::VSCODE_EVENT;
        event.change_type = "change";
        event.timestamp = now_timestamp();
        EditMix const mix{.undo_below = 10,
                          .paste_below = 160,
                          .internal_copy_below = 155,
                          .save_below = 163,
                          .paste_size = 200,
                          .mark_pastes = true};
        for (std::size_t index = 0; index < kChanges; ++index) {
            std::size_t const f = (index / 50) % kFiles;  // bursts of work on one file
            std::string& doc = docs[f];
            event.timestamp += std::chrono::milliseconds(150);
            event.filepath = paths[f];
            event.fid = {f + 1, 2049};
            next_edit(random, mix, doc, cursors[f], event);
            events.store(event);
            if (index % 10'000 == 5'000 + 50 * (index / 10'000)) {
                // Another program appends to the file being edited.
                std::string const before = doc;
                doc += "// generated\nint generated_" + std::to_string(index) + ";\n";
                FileEvent fast;
                fast.type = BaseEvent::Types::FILE_EVENT;
                fast.filepath = paths[f];
                fast.action = FileActions::Modified;
                fast.handler_type = FileEvent::Handlers::TRACKEDFILE;
                fast.incident_type = Incident::Types::FAST_INSERTION;
                fast.diff = "= ...\n+ // generated\n+ int generated;\n";
                events.store_snapshot(paths[f], {f + 1, 2049}, SnapshotReason::FAST_INSERTION, doc);
                events.store(fast);
            }
        }
        events.commit_pending();
    }
};

Recording const& recording() {
    static Recording const instance;
    return instance;
}

SessionReport analyse(SessionRecord const& record, bool states) {
    return analyse_session(record, recording().project, {}, states);
}

void BM_LoadAndAnalyse(benchmark::State& state) {
    for (auto _ : state) {
        SessionRecord const record = load_session(recording().db);
        benchmark::DoNotOptimize(analyse(record, false));
    }
    state.counters["changes"] = static_cast<double>(kChanges);
}

// A report written to a stream by `write`, from the record loaded afresh; `counter` gets its size.
void stream_report(benchmark::State& state,
                   void (*write)(SessionRecord const&, SessionReport const&, std::ostream&,
                                 TimeFormat const&),
                   char const* counter) {
    std::size_t size = 0;
    for (auto _ : state) {
        SessionRecord const record = load_session(recording().db);
        std::ostringstream out;
        write(record, analyse(record, false), out, TimeFormat());
        size = out.str().size();
    }
    state.counters[counter] = static_cast<double>(size);
}

void BM_TextReport(benchmark::State& state) {
    stream_report(state, write_text_report, "bytes");
}

void BM_JsonReport(benchmark::State& state) {
    std::size_t size = 0;
    for (auto _ : state) {
        SessionRecord const record = load_session(recording().db);
        size = json_report(record, analyse(record, false)).dump(2).size();
    }
    state.counters["bytes"] = static_cast<double>(size);
}

void BM_HtmlPage(benchmark::State& state) {
    stream_report(state, write_html_report, "page_bytes");
}

void BM_ProgSnap2Export(benchmark::State& state) {
    fs::path const out = recording().dir.path() / "ps2";
    for (auto _ : state) {
        SessionRecord const record = load_session(recording().db);
        write_progsnap2(record, analyse(record, true), out, "bench");
    }
    std::uintmax_t bytes = 0;
    for (auto const& entry : fs::recursive_directory_iterator(out)) {
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
    }
    state.counters["export_bytes"] = static_cast<double>(bytes);
}

// A class of 100 records of 100,000 changes each, as wardlet-report --class reads it: the same
// record given 100 times, read afresh each time. The tool runs as a child process so that its
// peak memory is its own.
void BM_ClassOf100Records(benchmark::State& state) {
    constexpr int kRecords = 100;
    fs::path const out = recording().dir.path() / "class";
    long peak_kb = 0;
    double cpu_s = 0;
    for (auto _ : state) {
        std::vector<std::string> args = {REPORT_BIN, "--class", out.native()};
        for (int i = 0; i < kRecords; ++i) {
            args.push_back(recording().db.native());
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_t const child = fork();
        if (child == 0) {
            int const null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("wardlet-report --class failed");
        }
        peak_kb = usage.ru_maxrss;
        auto const seconds = [](timeval t) { return t.tv_sec + t.tv_usec / 1e6; };
        cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    std::uintmax_t bytes = 0;
    for (auto const& entry : fs::recursive_directory_iterator(out)) {
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
    }
    fs::remove_all(out);
    state.counters["peak_rss_MB"] = static_cast<double>(peak_kb) / 1024.0;
    state.counters["output_MB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    state.counters["records"] = kRecords;
    // The machine may be shared: the tool's own processor time beside the elapsed time.
    state.counters["tool_cpu_s"] = cpu_s;
}

BENCHMARK(BM_LoadAndAnalyse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TextReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JsonReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HtmlPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProgSnap2Export)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClassOf100Records)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    // The database is written before any measurement, its log lines kept off the terminal.
    {
        QuietStdout quiet;
        recording();
    }
    return run_benchmarks_with_log(argc, argv);
}
