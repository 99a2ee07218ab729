#include "store/event_db.hpp"
#include "tools/replay.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileSize = 100 * 1024;
constexpr std::size_t kEdits = 100'000;
constexpr char const* kFile = "/home/dev/proj/src/parser.cpp";

// The log lines go to /dev/null while rows are written.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int const devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_ = -1;
};

// A database as the monitor writes it: the start snapshot of a 100 KB file, then 100,000 editor
// rows of a session on it (typing at a wandering cursor, backspaces, pastes, saves), committed in
// groups. `expected` is the editor's document at the end.
struct Recording {
    fs::path dir;
    fs::path db;
    std::string expected;
    double bytes_per_edit = 0;

    Recording() {
        std::string pattern = (fs::path(REPLAY_BENCH_DISK_DIR) / "wardlet-replay-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir = pattern;
        db = dir / "wardlet.sqlite3";
        std::mt19937 random(11);
        std::string& doc = expected;
        while (doc.size() < kFileSize) {
            doc += "    int value_" + std::to_string(doc.size()) + " = compute(tokens, index);\n";
        }
        QuietStdout quiet;
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::milliseconds(20));
        events.store_snapshot(kFile, {1234567, 2049}, SnapshotReason::START, doc);
        events.commit_pending();
        auto const before = fs::file_size(db);
        std::size_t cursor = doc.size() / 2;
        VSCodeEvent event;
        event.type = BaseEvent::Types::VSCODE_EVENT;
        event.filepath = kFile;
        event.fid = {1234567, 2049};
        event.change_type = "change";
        for (std::size_t index = 0; index < kEdits; ++index) {
            unsigned const roll = random() % 1000;
            event.timestamp = now_timestamp();
            event.inserted.clear();
            event.deleted = 0;
            event.is_saved = false;
            if (roll < 5) {
                cursor = random() % doc.size();
            }
            if (roll < 150 && cursor > 0) {  // backspace
                event.deleted = 1;
                cursor -= 1;
            } else if (roll < 155) {  // paste
                event.inserted = doc.substr(random() % (doc.size() - 300), 300);
            } else if (roll < 160) {
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
        }
        events.commit_pending();
        bytes_per_edit =
            static_cast<double>(fs::file_size(db) - before) / static_cast<double>(kEdits);
    }
    ~Recording() { fs::remove_all(dir); }
};

void BM_Replay100kEditsOn100KB(benchmark::State& state) {
    static Recording const recording;
    std::size_t applied = 0;
    for (auto _ : state) {
        Replay const replay = replay_file(recording.db, kFile);
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
