// A long editing session on one tracked file, driven through the buffer as the editor channel
// drives it: typing runs, backspaces, deletions and internal pastes at positions that keep moving
// through the file. Measures how much past text the index still finds at the end (substrings of
// contents the file had at random moments), the cost of a change, the index's heap, and the
// search for a 2 KiB paste. Heap is counted through the global allocation functions.
#include "index/insertion_buffer.hpp"

#include "heap_counter.hpp"
#include "log_redirect.hpp"
#include "sample_session.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

bool holds(std::string const& haystack, std::string const& needle) {
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

struct SessionFigures {
    double seconds_per_change = 0;
    double index_heap = 0;  // live heap of the buffer beyond its two copies of the content
    double recall = 0;
    double recall_exact = 0;  // of the samples in the final content or in one removed text
    double exact_samples = 0;
    double contains_hit_seconds = 0;
    double contains_miss_seconds = 0;
};

// `changes` editor changes on a file of about `size` bytes. Typing runs of 1 to 40 changes start
// at a random position; within a run, most changes type a character, some erase one, a few delete
// a selection or paste a piece of the file taken elsewhere. The file keeps its size.
SessionFigures run_session(std::size_t size, int changes, int samples) {
    std::filesystem::path const path = "/project/src/session.cpp";
    std::filesystem::path const other = "/project/src/other.cpp";
    std::string const source = library_source(size + 200'000);
    std::string content = source.substr(0, size);
    std::string const vocabulary = source.substr(size, 150'000);
    std::mt19937_64 rng(20'261'207);
    auto const pick = [&](std::size_t bound) { return bound == 0 ? 0 : rng() % bound; };

    std::vector<int> sample_at(static_cast<std::size_t>(samples));
    for (auto& at : sample_at) {
        at = static_cast<int>(pick(static_cast<std::size_t>(changes)));
    }
    std::sort(sample_at.begin(), sample_at.end());
    std::vector<std::string> sampled;
    std::vector<std::string> removed_texts;

    long long const heap_before = heap_now();
    auto buffer = std::make_unique<InsertionBuffer>();
    buffer->set_filecontent(path, content);
    buffer->update(path);
    buffer->set_filecontent(other, "int unrelated = 0;\n");
    buffer->update(other);

    std::size_t cursor = 0;
    int run_left = 0;
    std::size_t next_sample = 0;
    std::chrono::duration<double> spent{};
    for (int change = 0; change < changes; ++change) {
        if (run_left == 0) {
            cursor = pick(content.size() + 1);
            run_left = 1 + static_cast<int>(pick(40));
        }
        --run_left;
        unsigned long offset = cursor;
        unsigned long deleted = 0;
        std::string inserted;
        auto const kind = pick(100);
        if (content.size() > size + size / 20) {
            deleted = 1 + pick(2000);  // the file has grown: a larger selection is deleted
        } else if (kind < 84 || (kind < 94 && cursor == 0)) {
            inserted.assign(1, vocabulary[pick(vocabulary.size())]);
        } else if (kind < 94) {
            offset = cursor - 1;
            deleted = 1;
        } else if (kind < 97) {
            deleted = 1 + pick(200);
        } else {
            std::size_t const length = 20 + pick(480);
            inserted = content.substr(pick(content.size()), length);
        }
        deleted = std::min<unsigned long>(deleted, content.size() - offset);
        if (deleted > 0) {
            removed_texts.push_back(content.substr(offset, deleted));
        }
        content.erase(offset, deleted);
        content.insert(offset, inserted);
        cursor = offset + inserted.size();

        auto const start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(
            buffer->apply_editor_change(path, {{offset, deleted}}, inserted, true));
        spent += std::chrono::steady_clock::now() - start;

        for (; next_sample < sample_at.size() && sample_at[next_sample] == change; ++next_sample) {
            std::size_t const length =
                std::min<std::size_t>(16 + pick(4096 - 16 + 1), content.size());
            sampled.push_back(content.substr(pick(content.size() - length + 1), length));
        }
    }

    SessionFigures figures;
    figures.seconds_per_change = spent.count() / changes;
    figures.index_heap =
        static_cast<double>(heap_now() - heap_before) - 2.0 * static_cast<double>(content.size());

    int found = 0;
    int exact = 0;
    int exact_found = 0;
    for (auto const& text : sampled) {
        bool const hit = buffer->contains(text);
        found += hit;
        bool const in_one_piece =
            holds(content, text) || std::any_of(removed_texts.begin(), removed_texts.end(),
                                                [&](auto const& r) { return holds(r, text); });
        exact += in_one_piece;
        exact_found += in_one_piece && hit;
    }
    figures.recall = static_cast<double>(found) / static_cast<double>(sampled.size());
    figures.exact_samples = exact;
    figures.recall_exact = exact == 0 ? 1.0 : static_cast<double>(exact_found) / exact;

    // A 2 KiB paste into the other file: a piece of a past content, and text from elsewhere.
    std::string const hit = sampled.empty() ? content.substr(0, 2048) : [&] {
        for (auto const& text : sampled) {
            if (text.size() >= 2048) {
                return text.substr(0, 2048);
            }
        }
        return content.substr(0, 2048);
    }();
    std::string const miss = source.substr(source.size() - 2048);
    auto const time_contains = [&](std::string const& text) {
        auto const start = std::chrono::steady_clock::now();
        constexpr int kRepeats = 20;
        for (int i = 0; i < kRepeats; ++i) {
            benchmark::DoNotOptimize(buffer->contains(text));
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
               kRepeats;
    };
    figures.contains_hit_seconds = time_contains(hit);
    figures.contains_miss_seconds = time_contains(miss);
    return figures;
}

void BM_EditingSession(benchmark::State& state) {
    SessionFigures figures;
    for (auto _ : state) {
        figures = run_session(static_cast<std::size_t>(state.range(0)),
                              static_cast<int>(state.range(1)), 1000);
    }
    state.counters["change_us"] = figures.seconds_per_change * 1e6;
    state.counters["index_MB"] = figures.index_heap / 1e6;
    state.counters["recall_pct"] = figures.recall * 100;
    state.counters["recall_exact_pct"] = figures.recall_exact * 100;
    state.counters["exact_samples"] = figures.exact_samples;
    state.counters["paste2k_hit_us"] = figures.contains_hit_seconds * 1e6;
    state.counters["paste2k_miss_us"] = figures.contains_miss_seconds * 1e6;
}
// A 100 KB file edited 200,000 times, and a 1 MB file edited 20,000 times.
BENCHMARK(BM_EditingSession)
    ->Args({100'000, 200'000})
    ->Args({1'000'000, 20'000})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_log(argc, argv);
}
