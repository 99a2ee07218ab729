#include "index/insertion_buffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Editors type and erase in their own files while searchers query every file and take diffs;
// every edit must land and every search must see whole updates only.
TEST(InsertionBufferConcurrency, EditingAndSearchingThreadsShareOneBuffer) {
    InsertionBuffer buffer;
    constexpr int kEditors = 3, kKeystrokes = 300;
    auto path = [](int e) { return "/p/file" + std::to_string(e); };
    for (int e = 0; e < kEditors; ++e) {
        buffer.set_filecontent(path(e), "begin\nmarker" + std::to_string(e) + "\nend\n");
        buffer.update(path(e));
    }
    testing::internal::CaptureStdout();
    std::atomic<int> editors_done{0}, misses{0};
    std::vector<std::thread> threads;
    for (int e = 0; e < kEditors; ++e) {
        threads.emplace_back([&, e] {
            for (unsigned long i = 0, cursor = 6; i < kKeystrokes; ++i) {
                bool const erase = i % 4 == 3;
                cursor -= erase;
                buffer.delete_filecontent(path(e), cursor, erase);
                buffer.insert_filecontent(path(e), cursor, erase ? "" : "k");
                cursor += !erase;
                buffer.update(path(e));
            }
            ++editors_done;
        });
    }
    for (int s = 0; s < 2; ++s) {
        threads.emplace_back([&] {
            for (int round = 0; round < 2000 && editors_done < kEditors; ++round) {
                for (int e = 0; e < kEditors; ++e) {
                    misses += !buffer.contains("marker" + std::to_string(e));
                }
                (void)buffer.get_diff_per_line(path(0), "begin\nend\n");
                (void)buffer.compare_filecontent(path(1), "x");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(misses, 0);
    for (int e = 0; e < kEditors; ++e) {
        EXPECT_EQ(buffer.get_filecontent(path(e)), "begin\n" + std::string(kKeystrokes / 2, 'k') +
                                                       "marker" + std::to_string(e) + "\nend\n");
    }
}
