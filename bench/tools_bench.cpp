#include "tools/send.hpp"
#include "tools/track.hpp"

#include "sample_session.hpp"

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>

namespace {

std::string sample_message(std::size_t inserted_bytes) {
    return change_message(SAMPLE_FILE, 1234, 0, std::string(inserted_bytes, 'x'));
}

// Checking one typical keystroke message, and one carrying a pasted block.
void BM_ValidateMessage(benchmark::State& state) {
    std::string const line = sample_message(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(change_message_problem(line));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_ValidateMessage)->Arg(1)->Arg(4096);

// Messages per second from an input stream through validation into a real socket, with a
// reader draining the other end as the monitor's connection reader would.
void BM_StreamToSocket(benchmark::State& state) {
    std::string input;
    constexpr int MESSAGES = 10000;
    for (int index = 0; index < MESSAGES; ++index) {
        input += sample_message(1) + "\n";
    }
    for (auto _ : state) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            state.SkipWithError("socketpair failed");
            return;
        }
        std::thread drain([fd = fds[1]] {
            char chunk[4096];
            while (::read(fd, chunk, sizeof chunk) > 0) {
            }
        });
        std::istringstream in(input);
        StreamResult const result = stream_messages(in, [&](std::string_view batch) {
            while (!batch.empty()) {
                ssize_t const count = ::write(fds[0], batch.data(), batch.size());
                if (count <= 0) {
                    return;
                }
                batch.remove_prefix(static_cast<std::size_t>(count));
            }
        });
        ::close(fds[0]);
        drain.join();
        ::close(fds[1]);
        benchmark::DoNotOptimize(result.sent);
    }
    state.SetItemsProcessed(state.iterations() * MESSAGES);
}
BENCHMARK(BM_StreamToSocket)->Unit(benchmark::kMillisecond);

// Re-adding one file to a large map: the read-modify step of wardlet-track without the I/O.
void BM_AddToMap(benchmark::State& state) {
    std::string text;
    for (std::int64_t index = 0; index < state.range(0); ++index) {
        text += map_line({static_cast<std::uint64_t>(index) + 1000, 2049},
                         "/home/dev/proj/src/file-" + std::to_string(index) + ".cpp") +
                "\n";
    }
    std::vector<MapLine> const lines = map_lines(text);
    std::vector<TrackedFile> const files{{{1000, 2049}, "/home/dev/proj/src/file-0.cpp"}};
    for (auto _ : state) {
        std::vector<MapLine> edited = lines;
        benchmark::DoNotOptimize(add_to_map(edited, files));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddToMap)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
