#include "index/insertion_buffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Editors type and erase in their own files while searchers query all files and the diff reads
// them; every edit must land and the searches must see only whole updates.
TEST(InsertionBufferConcurrency, EditingAndSearchingThreadsShareOneBuffer) {
    InsertionBuffer buffer;
    constexpr int kEditors = 3;
    constexpr int kKeystrokes = 300;
    for (int e = 0; e < kEditors; ++e) {
        std::string const path = "/p/file" + std::to_string(e);
        buffer.set_filecontent(path, "begin\nmarker" + std::to_string(e) + "\nend\n");
        buffer.update(path);
    }

    testing::internal::CaptureStdout();
    std::atomic<int> editors_done{0};
    std::atomic<int> misses{0};
    std::vector<std::thread> threads;
    for (int e = 0; e < kEditors; ++e) {
        threads.emplace_back([&, e] {
            std::string const path = "/p/file" + std::to_string(e);
            unsigned long cursor = 6;
            for (int i = 0; i < kKeystrokes; ++i) {
                if (i % 4 == 3) {
                    buffer.delete_filecontent(path, cursor - 1, 1);
                    --cursor;
                } else {
                    buffer.delete_filecontent(path, cursor, 0);
                    buffer.insert_filecontent(path, cursor, "k");
                    ++cursor;
                }
                buffer.update(path);
            }
            editors_done.fetch_add(1);
        });
    }
    for (int s = 0; s < 2; ++s) {
        threads.emplace_back([&] {
            // Bounded: at most this many rounds, fewer once the editors are done.
            for (int round = 0; round < 2000 && editors_done.load() < kEditors; ++round) {
                for (int e = 0; e < kEditors; ++e) {
                    if (!buffer.contains("marker" + std::to_string(e))) {
                        misses.fetch_add(1);
                    }
                }
                (void)buffer.get_diff_per_line("/p/file0", "begin\nend\n");
                (void)buffer.compare_filecontent("/p/file1", "x");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    (void)testing::internal::GetCapturedStdout();

    EXPECT_EQ(misses.load(), 0);
    std::string const typed(kKeystrokes / 2, 'k');
    for (int e = 0; e < kEditors; ++e) {
        std::string const path = "/p/file" + std::to_string(e);
        EXPECT_EQ(buffer.get_filecontent(path),
                  "begin\n" + typed + "marker" + std::to_string(e) + "\nend\n");
    }
}
