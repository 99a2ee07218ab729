#include "store/event_db.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// The log lines go to /dev/null while rows are written, so the figures are the database's.
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

// A fresh database file in a new directory below `parent`, removed afterwards.
class ScratchDb {
public:
    explicit ScratchDb(fs::path const& parent) {
        std::string pattern = (parent / "wardlet-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir_ = pattern;
    }
    ~ScratchDb() { fs::remove_all(dir_); }
    std::string path() const { return (dir_ / "wardlet.sqlite3").string(); }

private:
    fs::path dir_;
};

FileEvent sample_file_event() {
    FileEvent event;
    event.type = BaseEvent::Types::FILE_EVENT;
    event.timestamp = now_timestamp();
    event.filepath = "/home/dev/proj/src/parser.cpp";
    event.fid = {1234567, 2049};
    event.action = FileActions::Modified;
    event.directory = "/home/dev/proj/src";
    event.diff = "- int a = 1;\n+ int a = 2;\n";
    event.handler_type = FileEvent::Handlers::TRACKEDFILE;
    event.incident_type = Incident::Types::FAST_INSERTION;
    return event;
}

VSCodeEvent sample_vscode_event() {
    VSCodeEvent event;
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.timestamp = now_timestamp();
    event.filepath = "/home/dev/proj/src/parser.cpp";
    event.fid = {1234567, 2049};
    event.change_type = "change";
    event.inserted = "return parse_expression(tokens);";
    event.deleted = 3;
    event.incident_type = Incident::Types::NONE;
    return event;
}

template <typename Record>
void store_rows(benchmark::State& state, fs::path const& parent, Record const& record) {
    ScratchDb scratch(parent);
    QuietStdout quiet;
    EventDB db(scratch.path());
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
