#include "child_program.hpp"
#include "sample_session.hpp"
#include "store/event_db.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// The reviewer's page of a large record: its size, the time the tool takes to write it and the
// time a real Chromium takes to open it (load, run the page's script, serialise the DOM). Run it
// with `build/release/bench/report_page_bench`; set WARDLET_BASELINE_REPORT to another build's
// wardlet-report to measure that one beside this build's in the same run, and
// WARDLET_PAGE_BENCH_KEEP to a directory to keep the pages written.

namespace {

constexpr std::size_t kFiles = 10;
constexpr std::size_t kChanges = 1'000'000;
constexpr std::size_t kFileSize = 20 * 1024;

// 1M editor rows over 10 files of 20 KB as the monitor writes them: typing at wandering cursors,
// backspaces, pastes (some internal copies), undos, saves, a fast insertion now and then.
struct Recording {
    ScratchDir dir{REPORT_BENCH_DISK_DIR, "wardlet-page"};
    fs::path project = dir.path() / "proj";
    fs::path db = project / ".wardlet" / "wardlet.sqlite3";

    Recording() {
        fs::create_directories(db.parent_path());
        std::mt19937 random(11);
        std::vector<std::string> docs(kFiles);
        std::vector<std::string> paths(kFiles);
        std::vector<std::size_t> cursors(kFiles);
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::milliseconds(200));
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
            std::size_t const f = (index / 50) % kFiles;
            std::string& doc = docs[f];
            event.timestamp += std::chrono::milliseconds(150);
            event.filepath = paths[f];
            event.fid = {f + 1, 2049};
            next_edit(random, mix, doc, cursors[f], event);
            events.store(event);
            if (index % 100'000 == 5'000 + 50 * (index / 100'000)) {  // each file in turn
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

// Runs `args` with standard output to `out` (or /dev/null) and error discarded; the elapsed
// seconds, or a negative number when it failed.
double run_timed(std::vector<std::string> args, fs::path const& out = "/dev/null") {
    auto const started = std::chrono::steady_clock::now();
    bool const ok = run_program(std::move(args), out);
    std::chrono::duration<double> const elapsed = std::chrono::steady_clock::now() - started;
    return ok ? elapsed.count() : -1.0;
}

// Chromium opening `page` until it has serialised the DOM after the load event.
double open_in_chromium(fs::path const& page, fs::path const& dom) {
    fs::path const profile = recording().dir.path() / "profile";
    fs::remove_all(profile);
    return run_timed(
        {CHROMIUM_BIN, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + profile.native(), "--dump-dom",
         "file://" + page.native()},
        dom);
}

// A copy of `page` that notes, at its load event, how long the page took to load in the
// browser's own clock (from the start of navigation), in a paragraph the DOM dump shows.
fs::path with_load_probe(fs::path const& page) {
    std::ifstream in(page, std::ios::binary);
    std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    html.insert(html.rfind("</body>"),
                "<script>window.addEventListener('load', function () { var p = "
                "document.createElement('p'); p.id = 'loaded-after'; p.textContent = "
                "String(Math.round(performance.now())); document.body.appendChild(p); });"
                "</script>\n");
    fs::path const probed = page.parent_path() / ("probed-" + page.filename().native());
    std::ofstream(probed, std::ios::binary) << html;
    return probed;
}

// The milliseconds the probe noted in the dumped DOM, or -1.
double noted_load_ms(fs::path const& dom) {
    std::ifstream in(dom, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string const mark = "<p id=\"loaded-after\">";
    auto const at = text.find(mark);
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + mark.size(), 12));
}

// The page written by the tool `tool`, then opened; the iteration's time is Chromium's alone,
// from its start to the DOM serialised after the load event; `load_ms` is the page's own
// load time within it (without the browser's start and the dump).
void measure_page(benchmark::State& state, std::string const& tool, std::string const& name) {
    fs::path const page = recording().dir.path() / "page.html";
    fs::path const dom = recording().dir.path() / "dom.html";
    double const write_s = run_timed({tool, recording().project.native(), "--html", page.native()});
    if (write_s < 0) {
        state.SkipWithError("the tool failed to write the page");
        return;
    }
    fs::path const probed = with_load_probe(page);
    double load_ms = 0;
    for (auto _ : state) {
        double const seconds = open_in_chromium(probed, dom);
        if (seconds < 0) {
            state.SkipWithError("chromium failed");
            break;
        }
        state.SetIterationTime(seconds);
        load_ms += noted_load_ms(dom);
    }
    state.counters["load_ms"] = load_ms / static_cast<double>(state.iterations());
    if (char const* const keep = std::getenv("WARDLET_PAGE_BENCH_KEEP"); keep != nullptr) {
        fs::copy_file(page, fs::path(keep) / (name + ".html"),
                      fs::copy_options::overwrite_existing);
    }
    state.counters["page_MB"] = static_cast<double>(fs::file_size(page)) / (1024.0 * 1024.0);
    state.counters["dom_MB"] = static_cast<double>(fs::file_size(dom)) / (1024.0 * 1024.0);
    state.counters["write_s"] = write_s;
    state.counters["rows"] = static_cast<double>(kChanges);
}

// What Chromium takes for a page with nothing on it: the floor under the figures above.
void BM_BlankPage(benchmark::State& state) {
    fs::path const page = recording().dir.path() / "blank.html";
    fs::path const dom = recording().dir.path() / "blank-dom.html";
    std::ofstream(page) << "<!DOCTYPE html><html><body><p>blank</p></body></html>\n";
    fs::path const probed = with_load_probe(page);
    double load_ms = 0;
    for (auto _ : state) {
        state.SetIterationTime(open_in_chromium(probed, dom));
        load_ms += noted_load_ms(dom);
    }
    state.counters["load_ms"] = load_ms / static_cast<double>(state.iterations());
}

void BM_PageOfMillionRows(benchmark::State& state) {
    measure_page(state, REPORT_BIN, "page");
}

void BM_PageOfMillionRowsBaseline(benchmark::State& state) {
    char const* const baseline = std::getenv("WARDLET_BASELINE_REPORT");
    if (baseline == nullptr || *baseline == '\0') {
        state.SkipWithError("set WARDLET_BASELINE_REPORT to another build's wardlet-report");
        for (auto _ : state) {
        }
        return;
    }
    measure_page(state, baseline, "baseline");
}

BENCHMARK(BM_BlankPage)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PageOfMillionRowsBaseline)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(BM_PageOfMillionRows)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    if (std::string(CHROMIUM_BIN).empty()) {
        std::cerr << "chromium is not installed (scripts/install-deps.sh installs it)\n";
        return 1;
    }
    {
        QuietStdout quiet;
        recording();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
