// Costs of the content index on real source text: building an automaton, the editor changes of a
// typing session, searching many tracked files, and the line diff of a changed file. Heap is
// measured by counting live bytes through the global allocation functions.
#include "index/insertion_buffer.hpp"
#include "index/suffix_automaton.hpp"

#include "heap_counter.hpp"
#include "log_redirect.hpp"
#include "sample_session.hpp"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// About 1.5 MB of C++ source.
std::string const& source_text() {
    static std::string const text = library_source(1'500'000);
    return text;
}

std::string source_prefix(std::size_t size) {
    return source_text().substr(0, size);
}

void BM_AutomatonBuild(benchmark::State& state) {
    std::string const text = source_prefix(static_cast<std::size_t>(state.range(0)));
    double heap_per_byte = 0;
    double states = 0;
    for (auto _ : state) {
        long long const before = heap_now();
        auto sam = std::make_unique<SuffixAutomaton>();
        sam->add(text);
        state.PauseTiming();
        heap_per_byte = static_cast<double>(heap_now() - before) / static_cast<double>(text.size());
        states = static_cast<double>(sam->size());
        sam.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["heap_B_per_byte"] = heap_per_byte;
    state.counters["states"] = states;
}
BENCHMARK(BM_AutomatonBuild)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

// One editor change message as the editor channel applies it.
void editor_change(InsertionBuffer& buffer, std::filesystem::path const& path, unsigned long offset,
                   unsigned long deleted, std::string const& inserted) {
    benchmark::DoNotOptimize(buffer.apply_editor_change(path, {{offset, deleted}}, inserted, true));
}

constexpr int kKeystrokes = 1000;

// 1,000 keystrokes in the middle of a tracked file: every tenth erases the character before the
// cursor, the others type one character of ordinary code.
void BM_TypingSession(benchmark::State& state) {
    std::filesystem::path const path = "/project/src/tracked.cpp";
    std::string const content = source_prefix(static_cast<std::size_t>(state.range(0)));
    std::string const typed = "result = compute_total(values, count) + offset; ";
    double growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto buffer = std::make_unique<InsertionBuffer>();
        buffer->set_filecontent(path, content);
        buffer->update(path);
        unsigned long cursor = content.size() / 2;
        long long const before = heap_now();
        state.ResumeTiming();
        for (int i = 0; i < kKeystrokes; ++i) {
            if (i % 10 == 9) {
                editor_change(*buffer, path, cursor - 1, 1, "");
                --cursor;
            } else {
                editor_change(*buffer, path, cursor, 0, std::string(1, typed[i % typed.size()]));
                ++cursor;
            }
        }
        state.PauseTiming();
        growth += static_cast<double>(heap_now() - before) / kKeystrokes;
        buffer.reset();
        state.ResumeTiming();
    }
    state.counters["per_change"] = benchmark::Counter(
        kKeystrokes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["heap_B_per_change"] =
        benchmark::Counter(growth, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_TypingSession)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

// A search over 100 tracked files of 20 KB each; a miss walks every file, a hit stops early.
void BM_ContainsAcrossFiles(benchmark::State& state) {
    InsertionBuffer buffer;
    std::string const& text = source_text();
    for (int f = 0; f < 100; ++f) {
        std::filesystem::path const path = "/project/src/file" + std::to_string(f) + ".cpp";
        buffer.set_filecontent(path, text.substr(static_cast<std::size_t>(f) * 12'000, 20'000));
        buffer.update(path);
    }
    std::string const query = state.range(0) == 0 ? "wardlet_identifier_found_nowhere(x)"
                                                  : "_GLIBCXX_BEGIN_NAMESPACE_VERSION";
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer.contains(query));
    }
}
BENCHMARK(BM_ContainsAcrossFiles)->ArgName("hit")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

std::string numbered_lines(int count) {
    std::string const& text = source_text();
    std::string out;
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
        std::size_t const end = text.find('\n', at);
        out += std::to_string(i) + ": " + text.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return out;
}

// The line diff of a 5,000-line file: 20 changed lines, or every line changed by a conversion to
// CRLF line endings.
void BM_LineDiff(benchmark::State& state) {
    std::filesystem::path const path = "/project/src/big.cpp";
    std::string const old_content = numbered_lines(5000);
    std::string new_content;
    std::size_t line = 0;
    std::size_t at = 0;
    while (at < old_content.size()) {
        std::size_t const end = old_content.find('\n', at);
        std::string text = old_content.substr(at, end - at);
        if (state.range(0) == 0) {
            new_content += (line % 250 == 0 ? text + " // changed" : text) + "\n";
        } else {
            new_content += text + "\r\n";
        }
        at = end + 1;
        ++line;
    }
    InsertionBuffer buffer;
    buffer.set_filecontent(path, old_content);
    std::size_t rendered = 0;
    for (auto _ : state) {
        rendered = buffer.get_diff_per_line(path, new_content).size();
        benchmark::DoNotOptimize(rendered);
    }
    state.counters["diff_bytes"] = static_cast<double>(rendered);
}
BENCHMARK(BM_LineDiff)->ArgName("all_lines")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_log(argc, argv);
}
