// Costs of the editor channel: parsing one change message, splitting a connection's bytes into
// lines (long lines must cost linear time), and typing-sized messages through a real socket up to
// their delivery on the bus.
#include "editor/change_message.hpp"
#include "editor/line_framer.hpp"
#include "editor/vscode_listener.hpp"
#include "tools/send.hpp"

#include "log_redirect.hpp"
#include "sample_session.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

void BM_ParseEvent(benchmark::State& state) {
    std::string const line = change_message("/tmp/wardlet-bench-no-such-file.cpp", 1234, 0, "x");
    for (auto _ : state) {
        benchmark::DoNotOptimize(parse_event(line));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseEvent);

// One line of the given size, arriving in 4096-byte reads: time per byte must not grow with it.
void BM_FrameLongLine(benchmark::State& state) {
    std::size_t const size = static_cast<std::size_t>(state.range(0));
    std::string const chunk(4096, 'x');
    for (auto _ : state) {
        LineFramer framer;
        for (std::size_t fed = 0; fed < size; fed += chunk.size()) {
            benchmark::DoNotOptimize(framer.feed(chunk));
        }
        benchmark::DoNotOptimize(framer.feed("\n"));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_FrameLongLine)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_FrameTypingMessages(benchmark::State& state) {
    std::string stream;
    for (int i = 0; i < 1000; ++i) {
        stream += change_message("/p/src/main.cpp", static_cast<std::uint64_t>(i), 0, "a") + "\n";
    }
    for (auto _ : state) {
        LineFramer framer;
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            benchmark::DoNotOptimize(framer.feed(std::string_view(stream).substr(at, 4096)));
        }
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_FrameTypingMessages);

// Keystrokes into a tracked 64 KiB file, from the client's write to the event's delivery, after
// messages about as many distinct untracked files as the argument: their number must not make a
// message dearer.
void BM_MessagesThroughSocket(benchmark::State& state) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/wardlet-bench-XXXXXX";
    fs::path const dir = ::mkdtemp(pattern);
    Env env = detect_env(dir, false);
    fs::create_directories(env.datapath);
    fs::path const tracked = dir / "main.cpp";
    {
        std::string content;
        while (content.size() < (64u << 10)) {
            content += "    int value = compute(argument, other_argument);\n";
        }
        FILE* out = std::fopen(tracked.c_str(), "w");
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
        FileId const fid = file_id_of(tracked);
        std::string const map = std::to_string(fid.first) + ";" + std::to_string(fid.second) + ";" +
                                tracked.native() + "\n";
        out = std::fopen((env.datapath / "tracked").c_str(), "w");
        std::fwrite(map.data(), 1, map.size(), out);
        std::fclose(out);
    }
    {
        EventBus bus;
        EventDB db((dir / "events.sqlite3").native());
        InsertionBuffer ibuf;
        std::mutex mutex;
        std::condition_variable arrived;
        std::int64_t delivered = 0;
        bus.subscribe(BaseEvent::Types::VSCODE_EVENT, [&](Event) {
            std::lock_guard lock(mutex);
            ++delivered;
            arrived.notify_all();
        });
        std::string const socket = (dir / "editor.sock").native();
        VSCodeListener listener(bus, db, ibuf, env, socket);
        std::thread loop([&] { listener.start(); });

        std::size_t offset = 1000;
        std::int64_t sent = 0;
        try {
            MonitorConnection editor(socket);
            std::string untracked;
            for (std::int64_t i = 0; i < state.range(0); ++i) {
                untracked +=
                    change_message((dir / ("untracked-" + std::to_string(i))).native(), 0, 0, "u") +
                    "\n";
                ++sent;
                if (untracked.size() > (256u << 10) || i + 1 == state.range(0)) {
                    editor.send(untracked);
                    untracked.clear();
                    std::unique_lock lock(mutex);
                    arrived.wait(lock, [&] { return delivered >= sent; });
                }
            }
            for (auto _ : state) {
                editor.send(change_message(tracked.native(), offset++, 0, "k") + "\n");
                ++sent;
                std::unique_lock lock(mutex);
                arrived.wait(lock, [&] { return delivered >= sent; });
            }
        } catch (SendError const& error) {
            state.SkipWithError(error.what());
        }
        listener.stop();
        loop.join();
        listener.close_connections();
        state.SetItemsProcessed(sent - state.range(0));
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_MessagesThroughSocket)
    ->Arg(0)
    ->Arg(40000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_log(argc, argv);
}
