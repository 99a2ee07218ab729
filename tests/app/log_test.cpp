#include "app/log.hpp"
#include "support/captured_log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Lines keep their order and are written in batches: the lines of one moment, from several
// threads, share one write, and lines that keep coming are written a few at a time, far fewer
// writes than lines. A flush writes at once.
TEST(Log, LinesAreWrittenInBatchesInTheirOrderAndAFlushWritesAtOnce) {
    capture_log();
    std::uint64_t const before = log_write_count();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int n = 0; n < 3; ++n) {
                log_line("moment {} {}", t, n);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(log_flush(5s));
    EXPECT_LE(log_write_count() - before, 2u);  // the flush may meet a batch already begun

    std::uint64_t const spread_before = log_write_count();
    constexpr int kLines = 60;
    for (int n = 0; n < kLines; ++n) {
        log_line("spread {}", n);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(log_flush(5s));
    EXPECT_LE(log_write_count() - spread_before, static_cast<std::uint64_t>(kLines / 4));

    std::string const out = captured_log();
    for (int t = 0; t < 3; ++t) {
        std::size_t at = 0;
        for (int n = 0; n < 3; ++n) {
            std::size_t const found = out.find(fmt::format("moment {} {}\n", t, n));
            ASSERT_NE(found, std::string::npos);
            EXPECT_GE(found, at);
            at = found;
        }
    }
    std::string expected;
    for (int n = 0; n < kLines; ++n) {
        expected += fmt::format("spread {}\n", n);
    }
    EXPECT_NE(out.find(expected), std::string::npos);
}

// Every text a line is made with goes out escaped, whatever it is given as: a file name or a
// message can neither end the line early nor reach the terminal as a control sequence. Numbers
// and the line's own words are left alone, and a text escaped already is not escaped again.
TEST(Log, TheTextsALineIsMadeWithAreEscaped) {
    std::string const name = "a\n[EventDB] forged\x1b[2J\r.py";
    EXPECT_EQ(log_format("[Here] {} of {} bytes\n{}", name, 42, std::string_view("\x07\xc2\x9b")),
              "[Here] a\\x0a[EventDB] forged\\x1b[2J\\x0d.py of 42 bytes\n\\x07\\xc2\\x9b");
    EXPECT_EQ(log_format("{}", log_format("{}", name)), log_format("{}", name));
    char const* const plain = "plain ü text";
    EXPECT_EQ(log_format("{:>14}|", plain), "  plain ü text|");
}
