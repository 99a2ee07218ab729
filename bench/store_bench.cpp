#include "sample_session.hpp"
#include "store/event_db.hpp"

#include <benchmark/benchmark.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

template <typename Record>
void store_rows(benchmark::State& state, fs::path const& parent, Record const& record) {
    ScratchDir scratch(parent, "wardlet-bench");
    QuietStdout quiet;
    EventDB db((scratch.path() / "wardlet.sqlite3").native());
    for (auto _ : state) {
        if (!db.store(record)) {
            state.SkipWithError("store failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

bool is_tmpfs(fs::path const& path) {
    struct statfs info {};
    return statfs(path.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, fs::path>> places{{"tmp", "/tmp"}};
    if (is_tmpfs("/tmp")) {
        places.emplace_back("disk", STORE_BENCH_DISK_DIR);
    }
    for (auto const& [name, parent] : places) {
        benchmark::RegisterBenchmark(("store_file_event/" + name).c_str(),
                                     [parent = parent](benchmark::State& state) {
                                         store_rows(state, parent, sample_file_event());
                                     })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("store_vscode_event/" + name).c_str(),
                                     [parent = parent](benchmark::State& state) {
                                         store_rows(state, parent, sample_vscode_event());
                                     })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
