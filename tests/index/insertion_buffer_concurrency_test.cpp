#include "index/insertion_buffer.hpp"
#include "support/captured_log.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Editors type and erase in their own files while searchers query every file and take diffs;
// every edit must land and every search must see whole updates only.
TEST(InsertionBufferConcurrency, EditingAndSearchingThreadsShareOneBuffer) {
    InsertionBuffer buffer;
    std::string const files[] = {"/p/0", "/p/1", "/p/2"};
    for (auto const& path : files) {
        buffer.set_filecontent(path, "begin\nmarker" + path + "\nend\n");
        buffer.update(path);
    }
    capture_log();
    std::atomic<int> editors_done{0}, misses{0};
    std::vector<std::thread> threads;
    for (auto const& path : files) {
        threads.emplace_back([&] {
            for (unsigned long i = 0, cursor = 6; i < 300; ++i) {
                bool const erase = i % 4 == 3;
                cursor -= erase;
                buffer.delete_filecontent(path, cursor, erase);
                buffer.insert_filecontent(path, cursor, erase ? "" : "k");
                cursor += !erase;
                buffer.update(path);
            }
            ++editors_done;
        });
    }
    for (int s = 0; s < 2; ++s) {
        threads.emplace_back([&] {
            for (int round = 0; round < 2000 && editors_done < 3; ++round) {
                for (auto const& path : files) {
                    misses += !buffer.contains("marker" + path);
                }
                (void)buffer.diff_filecontent(files[0], "begin\nend\n");
                (void)buffer.compare_filecontent(files[1], "x");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    captured_log();
    EXPECT_EQ(misses, 0);
    for (auto const& path : files) {
        EXPECT_EQ(buffer.get_filecontent(path),
                  "begin\n" + std::string(150, 'k') + "marker" + path + "\nend\n");
    }
}
