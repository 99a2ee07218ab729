#include "log_redirect.hpp"
#include "store/event_db.hpp"
#include "tools/report_render.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
    fs::path dir;
    fs::path project;
    fs::path db;

    Recording() {
        std::string pattern = (fs::path(REPORT_BENCH_DISK_DIR) / "wardlet-report-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir = pattern;
        project = dir / "proj";
        db = project / ".wardlet" / "wardlet.sqlite3";
        fs::create_directories(db.parent_path());
        std::mt19937 random(7);
        std::vector<std::string> docs(kFiles);
        std::vector<std::string> paths(kFiles);
        std::vector<std::size_t> cursors(kFiles);
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::milliseconds(50));
        for (std::size_t f = 0; f < kFiles; ++f) {
            paths[f] = (project / "src" / ("unit_" + std::to_string(f) + ".cpp")).native();
            while (docs[f].size() < kFileSize) {
                docs[f] += "    int value_" + std::to_string(docs[f].size()) + " = compute(x);\n";
            }
            cursors[f] = docs[f].size() / 2;
            events.store_snapshot(paths[f], {f + 1, 2049}, SnapshotReason::START, docs[f]);
        }
        VSCodeEvent event;
        event.type = BaseEvent::Types::VSCODE_EVENT;
        event.change_type = "change";
        event.timestamp = now_timestamp();
        for (std::size_t index = 0; index < kChanges; ++index) {
            std::size_t const f = (index / 50) % kFiles;  // bursts of work on one file
            std::string& doc = docs[f];
            std::size_t& cursor = cursors[f];
            unsigned const roll = random() % 1000;
            event.timestamp += std::chrono::milliseconds(150);
            event.filepath = paths[f];
            event.fid = {f + 1, 2049};
            event.inserted.clear();
            event.deleted = 0;
            event.is_saved = event.is_copy_paste = event.internal_copy = event.is_undo_redo = false;
            if (roll < 5) {
                cursor = random() % doc.size();
            }
            if (roll < 150 && cursor > 0) {
                event.deleted = 1;
                cursor -= 1;
                event.is_undo_redo = roll < 10;
            } else if (roll < 160) {
                event.inserted = doc.substr(random() % (doc.size() - 300), 200);
                event.is_copy_paste = true;
                event.internal_copy = roll < 155;
            } else if (roll < 163) {
                event.is_saved = true;
            } else {
                event.inserted = std::string(1, static_cast<char>('a' + roll % 26));
            }
            event.offset = event.is_saved ? ~std::uint64_t{0} : cursor;
            if (!event.is_saved) {
                doc.replace(cursor, event.deleted, event.inserted);
                cursor += event.inserted.size();
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
                events.store_snapshot(paths[f], {f + 1, 2049}, SnapshotReason::FAST_INSERTION, doc);
                events.store(fast);
            }
        }
        events.commit_pending();
    }
    ~Recording() { fs::remove_all(dir); }
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

void BM_TextReport(benchmark::State& state) {
    std::size_t size = 0;
    for (auto _ : state) {
        SessionRecord const record = load_session(recording().db);
        std::ostringstream out;
        write_text_report(record, analyse(record, false), out);
        size = out.str().size();
    }
    state.counters["bytes"] = static_cast<double>(size);
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
    std::size_t size = 0;
    for (auto _ : state) {
        SessionRecord const record = load_session(recording().db);
        std::ostringstream out;
        write_html_report(record, analyse(record, false), out);
        size = out.str().size();
    }
    state.counters["page_bytes"] = static_cast<double>(size);
}

void BM_ProgSnap2Export(benchmark::State& state) {
    fs::path const out = recording().dir / "ps2";
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

BENCHMARK(BM_LoadAndAnalyse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TextReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JsonReport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HtmlPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProgSnap2Export)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // The database is written before any measurement, its log lines kept off the terminal.
    int const terminal = dup(STDOUT_FILENO);
    int const devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    recording();
    std::fflush(stdout);
    dup2(terminal, STDOUT_FILENO);
    close(devnull);
    close(terminal);
    return run_benchmarks_with_log(argc, argv);
}
