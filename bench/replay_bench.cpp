#include "sample_session.hpp"
#include "store/event_db.hpp"
#include "tools/replay.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileSize = 100 * 1024;
constexpr std::size_t kEdits = 100'000;

// A database as the monitor writes it: the start snapshot of a 100 KB file, then 100,000 editor
// rows of a session on it (typing at a wandering cursor, backspaces, pastes, saves), committed in
// groups. `expected` is the editor's document at the end.
struct Recording {
    ScratchDir dir{REPLAY_BENCH_DISK_DIR, "wardlet-replay"};
    fs::path db = dir.path() / "wardlet.sqlite3";
    std::string expected = sample_source(kFileSize, "compute(tokens, index)");
    double bytes_per_edit = 0;

    Recording() {
        std::mt19937 random(11);
        std::string& doc = expected;
        QuietStdout quiet;
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::milliseconds(20));
        events.store_snapshot(SAMPLE_FILE, SAMPLE_FID, SnapshotReason::START, doc);
        events.commit_pending();
        auto const before = fs::file_size(db);
        std::size_t cursor = doc.size() / 2;
        VSCodeEvent event;
        event.type = BaseEvent::Types::VSCODE_EVENT;
        event.filepath = SAMPLE_FILE;
        event.fid = SAMPLE_FID;
        event.change_type = "change";
        EditMix const mix{.paste_below = 155, .save_below = 160, .paste_size = 300};
        for (std::size_t index = 0; index < kEdits; ++index) {
            event.timestamp = now_timestamp();
            next_edit(random, mix, doc, cursor, event);
            events.store(event);
        }
        events.commit_pending();
        bytes_per_edit =
            static_cast<double>(fs::file_size(db) - before) / static_cast<double>(kEdits);
    }
};

void BM_Replay100kEditsOn100KB(benchmark::State& state) {
    static Recording const recording;
    std::size_t applied = 0;
    for (auto _ : state) {
        Replay const replay = replay_file(recording.db, SAMPLE_FILE);
        if (replay.content != recording.expected) {
            state.SkipWithError("replay differs from the editor's document");
            break;
        }
        applied += replay.applied;
    }
    state.counters["rows_applied_per_s"] =
        benchmark::Counter(static_cast<double>(applied), benchmark::Counter::kIsRate);
    state.counters["db_bytes_per_edit"] = recording.bytes_per_edit;
}
BENCHMARK(BM_Replay100kEditsOn100KB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
