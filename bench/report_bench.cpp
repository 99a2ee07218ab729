#include "child_program.hpp"
#include "log_redirect.hpp"
#include "sample_session.hpp"
#include "store/event_db.hpp"
#include "tools/report_render.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFiles = 10;
constexpr std::size_t kChanges = 100'000;
constexpr std::size_t kFileSize = 20 * 1024;

// A project database as the monitor writes it: the start snapshots of 10 files of 20 KB, then
// `changes` editor rows spread over them (typing at wandering cursors, backspaces, pastes, some of
// them internal copies, undos, saves, each edit with its place in the mirrors' order) and a fast
// insertion in every file for every 100,000 rows.
struct Recording {
    ScratchDir dir{REPORT_BENCH_DISK_DIR, "wardlet-report"};
    fs::path project = dir.path() / "proj";
    fs::path db = project / ".wardlet" / "wardlet.sqlite3";
    std::size_t changes;

    explicit Recording(std::size_t changes = kChanges) : changes(changes) {
        fs::create_directories(db.parent_path());
        std::mt19937 random(7);
        std::vector<std::string> docs(kFiles);
        std::vector<std::string> paths(kFiles);
        std::vector<std::size_t> cursors(kFiles);
        EventDB events(db.native());
        std::uint64_t seq = 0;
        events.enable_group_commit(std::chrono::milliseconds(50));
        for (std::size_t f = 0; f < kFiles; ++f) {
            paths[f] = (project / "src" / ("unit_" + std::to_string(f) + ".cpp")).native();
            docs[f] = sample_source(kFileSize, "compute(x)");
            cursors[f] = docs[f].size() / 2;
            events.store_snapshot(paths[f], {f + 1, 2049}, SnapshotReason::START, docs[f], ++seq);
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
        for (std::size_t index = 0; index < changes; ++index) {
            std::size_t const f = (index / 50) % kFiles;  // bursts of work on one file
            std::string& doc = docs[f];
            event.timestamp += std::chrono::milliseconds(150);
            event.filepath = paths[f];
            event.fid = {f + 1, 2049};
            next_edit(random, mix, doc, cursors[f], event);
            event.mirror_seq.reset();
            if (!event.is_saved) {
                event.mirror_seq = ++seq;
            }
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
                events.store_snapshot(paths[f], {f + 1, 2049}, SnapshotReason::FAST_INSERTION, doc,
                                      ++seq);
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

AnalysedRecord analyse(Keep keep, bool states = false) {
    return analyse_record(recording().db, recording().project, {}, keep, states);
}

void BM_AnalyseSummary(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(analyse(Keep::summary));
    }
    state.counters["changes"] = static_cast<double>(kChanges);
}

void BM_AnalyseEverything(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(analyse(Keep::everything));
    }
    state.counters["changes"] = static_cast<double>(kChanges);
}

// A report written to a stream by `write`, from the record analysed afresh; `counter` gets its
// size.
void stream_report(benchmark::State& state, Keep keep,
                   void (*write)(SessionRecord const&, SessionReport const&, std::ostream&,
                                 TimeFormat const&),
                   char const* counter) {
    std::size_t size = 0;
    for (auto _ : state) {
        AnalysedRecord const analysed = analyse(keep);
        std::ostringstream out;
        write(analysed.record, analysed.report, out, TimeFormat());
        size = out.str().size();
    }
    state.counters[counter] = static_cast<double>(size);
}

void BM_TextReport(benchmark::State& state) {
    stream_report(state, Keep::summary, write_text_report, "bytes");
}

void BM_JsonReport(benchmark::State& state) {
    std::size_t size = 0;
    for (auto _ : state) {
        AnalysedRecord const analysed = analyse(Keep::summary);
        size = json_report(analysed.record, analysed.report).dump(2).size();
    }
    state.counters["bytes"] = static_cast<double>(size);
}

void BM_HtmlPage(benchmark::State& state) {
    stream_report(state, Keep::everything, write_html_report, "page_bytes");
}

std::uintmax_t bytes_below(fs::path const& dir) {
    std::uintmax_t bytes = 0;
    for (auto const& entry : fs::recursive_directory_iterator(dir)) {
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
    }
    return bytes;
}

void BM_ProgSnap2Export(benchmark::State& state) {
    fs::path const out = recording().dir.path() / "ps2";
    for (auto _ : state) {
        AnalysedRecord const analysed = analyse(Keep::everything, true);
        write_progsnap2(analysed.record, analysed.report, out, "bench");
    }
    state.counters["export_bytes"] = static_cast<double>(bytes_below(out));
}

// A child process's peak memory and processor time.
struct ChildCost {
    bool ok = false;
    double peak_mb = 0;
    double cpu_s = 0;
};

// Runs `args` with standard output and error to /dev/null. It runs below /usr/bin/time, a small
// process: the peak memory of a child forked from this one would count this one's pages too.
ChildCost run_child(std::vector<std::string> args) {
    fs::path const figures =
        fs::temp_directory_path() / ("wardlet-bench-" + std::to_string(getpid()));
    args.insert(args.begin(), {"/usr/bin/time", "-f", "%M %U %S", "-o", figures.native()});
    ChildCost cost;
    cost.ok = run_program(std::move(args));
    // The figures are the last line; a line saying the status comes first when it is not 0.
    std::ifstream in(figures);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        last = line.empty() ? last : line;
    }
    std::istringstream figures_line(last);
    double peak_kb = 0;
    double user = 0;
    double system = 0;
    figures_line >> peak_kb >> user >> system;
    fs::remove(figures);
    cost.peak_mb = peak_kb / 1024.0;
    cost.cpu_s = user + system;
    return cost;
}

// A record of a million editor rows.
Recording const& million() {
    static Recording const instance = [] {
        QuietStdout quiet;
        return Recording(1'000'000);
    }();
    return instance;
}

// The tool measured: this build's, or, for the *Landed benchmarks, the one named by
// WARDLET_LANDED_REPORT (a build of the landed code), so that both are measured in one run.
std::optional<std::string> report_bin(benchmark::State& state, bool landed) {
    if (!landed) {
        return std::string(REPORT_BIN);
    }
    char const* other = std::getenv("WARDLET_LANDED_REPORT");
    if (other == nullptr || *other == '\0') {
        state.SkipWithError("WARDLET_LANDED_REPORT names no wardlet-report");
        return std::nullopt;
    }
    return std::string(other);
}

// wardlet-report on a record of a million rows, as a child process (text, --json, --verify),
// beside the sqlite3 shell reading the columns the report reads, in the same run.
void report_of_a_million(benchmark::State& state, std::vector<std::string> const& mode,
                         bool landed) {
    std::optional<std::string> const bin = report_bin(state, landed);
    if (!bin) {
        return;
    }
    Recording const& record = million();
    ChildCost cost;
    for (auto _ : state) {
        std::vector<std::string> args = {*bin, record.project.native()};
        args.insert(args.end(), mode.begin(), mode.end());
        cost = run_child(args);
        if (!cost.ok && mode.front() != "--verify") {
            state.SkipWithError("wardlet-report failed");
        }
    }
    state.counters["peak_rss_MB"] = cost.peak_mb;
    state.counters["tool_cpu_s"] = cost.cpu_s;
}

void BM_TextReportOf1MRows(benchmark::State& state) {
    report_of_a_million(state, {"--utc"}, state.range(0) != 0);
}

void BM_JsonReportOf1MRows(benchmark::State& state) {
    report_of_a_million(state, {"--json"}, state.range(0) != 0);
}

void BM_VerifyOf1MRows(benchmark::State& state) {
    report_of_a_million(state, {"--verify", million().project.native()}, state.range(0) != 0);
}

void BM_SqliteShellOf1MRows(benchmark::State& state) {
    Recording const& record = million();
    ChildCost cost;
    for (auto _ : state) {
        cost = run_child({"sqlite3", "-readonly", record.db.native(),
                          "SELECT id, timestamp, type, filepath, inserted, deleted, change_offset, "
                          "is_undo_redo, is_copy_paste, internal_copy, is_saved, copy_source, "
                          "copy_source_offset, editor, mirror_seq FROM vscode_events"});
        if (!cost.ok) {
            state.SkipWithError("sqlite3 failed");
        }
    }
    state.counters["peak_rss_MB"] = cost.peak_mb;
    state.counters["tool_cpu_s"] = cost.cpu_s;
}

void BM_ProgSnap2ExportOf1MRows(benchmark::State& state) {
    std::optional<std::string> const bin = report_bin(state, state.range(0) != 0);
    if (!bin) {
        return;
    }
    Recording const& record = million();
    fs::path const out = record.dir.path() / "ps2";
    ChildCost cost;
    for (auto _ : state) {
        fs::remove_all(out);
        cost = run_child({*bin, record.project.native(), "--progsnap2", out.native()});
        if (!cost.ok) {
            state.SkipWithError("wardlet-report --progsnap2 failed");
        }
    }
    state.counters["export_MB"] = static_cast<double>(bytes_below(out)) / (1024.0 * 1024.0);
    state.counters["peak_rss_MB"] = cost.peak_mb;
    state.counters["tool_cpu_s"] = cost.cpu_s;
}

// A class of 100 records of 100,000 changes each, as wardlet-report --class reads it: the same
// record given 100 times, read afresh each time. The tool runs as a child process so that its
// peak memory is its own.
void BM_ClassOf100Records(benchmark::State& state) {
    std::optional<std::string> const bin = report_bin(state, state.range(0) != 0);
    if (!bin) {
        return;
    }
    constexpr int kRecords = 100;
    fs::path const out = recording().dir.path() / "class";
    ChildCost cost;
    for (auto _ : state) {
        std::vector<std::string> args = {*bin, "--class", out.native()};
        for (int i = 0; i < kRecords; ++i) {
            args.push_back(recording().db.native());
        }
        cost = run_child(args);
        if (!cost.ok) {
            state.SkipWithError("wardlet-report --class failed");
        }
    }
    std::uintmax_t bytes = 0;
    for (auto const& entry : fs::recursive_directory_iterator(out)) {
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
    }
    fs::remove_all(out);
    state.counters["peak_rss_MB"] = cost.peak_mb;
    state.counters["output_MB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    state.counters["records"] = kRecords;
    // The machine may be shared: the tool's own processor time beside the elapsed time.
    state.counters["tool_cpu_s"] = cost.cpu_s;
}

BENCHMARK(BM_AnalyseSummary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AnalyseEverything)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TextReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JsonReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HtmlPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProgSnap2Export)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteShellOf1MRows)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
// Argument 0: this build's tool; 1: the landed one (WARDLET_LANDED_REPORT).
BENCHMARK(BM_TextReportOf1MRows)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_JsonReportOf1MRows)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_VerifyOf1MRows)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_ProgSnap2ExportOf1MRows)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_ClassOf100Records)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    // The database is written before any measurement, its log lines kept off the terminal.
    {
        QuietStdout quiet;
        recording();
    }
    return run_benchmarks_with_log(argc, argv);
}
