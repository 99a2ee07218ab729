#include "tools/replay.hpp"

#include "store/event_db.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace std::chrono_literals;

TEST(ParseTime, ReadsRowTextsAndIsoUtcAndRefusesTimesThatDoNotExist) {
    struct Case {
        char const* text;
        char const* expected;  // nullptr: refused
    };
    Case const cases[] = {{"2026-12-06 21:00:00.123", "2026-12-06 21:00:00.123000000"},
                          {"2026-12-06 21:00:00.123456789", "2026-12-06 21:00:00.123456789"},
                          {"2026-12-06T21:00:00Z", "2026-12-06 21:00:00.000000000"},
                          {"2024-02-29T23:59:59.5", "2024-02-29 23:59:59.500000000"},
                          {"2026-12-06T21:00:00.1234567899Z", "2026-12-06 21:00:00.123456789"},
                          {"2023-02-29 00:00:00", nullptr},
                          {"2026-12-06 24:00:00", nullptr},
                          {"2026-12-06 23:59:60", nullptr},
                          {"2026-13-06 00:00:00", nullptr},
                          {"2026-12-06T21:00", nullptr},
                          {"2026-12-06T21:00:00.Z", nullptr},
                          {"2026-12-06T21:00:00+01:00", nullptr},
                          {"2026-12-06X21:00:00", nullptr},
                          {"", nullptr}};
    for (auto const& c : cases) {
        auto const parsed = parse_time(c.text);
        EXPECT_EQ(parsed ? timestamp2str(*parsed) : "refused", c.expected ? c.expected : "refused")
            << c.text;
    }
}

class ReplayTest : public testing::Test {
protected:
    // One editor row of `file`, stamped `t0_ + seconds`.
    void edit(std::string const& file, double seconds, std::int64_t offset, std::uint64_t deleted,
              std::string const& inserted, bool saved = false) {
        VSCodeEvent event;
        event.timestamp = t0_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::duration<double>(seconds));
        event.filepath = file;
        event.offset = static_cast<std::uint64_t>(offset);
        event.deleted = deleted;
        event.inserted = inserted;
        event.is_saved = saved;
        db_.store(event);
    }
    std::optional<Timestamp> at(double seconds) const {
        return t0_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::duration<double>(seconds));
    }

    TempDir dir_;
    std::filesystem::path path_ = dir_ / "wardlet.sqlite3";
    EventDB db_{path_.native()};
    Timestamp const t0_ = *parse_time("2040-01-01T00:00:00Z");
};

TEST_F(ReplayTest, AppliesTheFilesEditsAfterItsLatestSnapshotAsTheMirrorDoes) {
    db_.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, std::string("ab\0c\n", 5));
    edit("/p/a.c", 1, 1, 0, "X");           // aXb\0c\n
    edit("/p/b.c", 2, 0, 0, "other file");  // not this file
    edit("/p/a.c", 3, 0, 2, "\xc3\xa9");    // replacement: \xc3\xa9b\0c\n
    edit("/p/a.c", 3.1, -1, 0, "", true);   // a save
    edit("/p/a.c", 3.2, -1, 0, "no position");
    edit("/p/a.c", 3.3, 100, 1, "beyond");  // beyond the end: ignored
    edit("/p//a.c", 4, 6, 0, "Y");          // the same file to the mirror
    db_.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::FAST_INSERTION, "disk\n");
    edit("/p/a.c", 6, 4, 0, "!");
    // The reset comes after every row above in time too.
    sqlite3* conn = nullptr;
    sqlite3_open(path_.c_str(), &conn);
    sqlite3_exec(conn, "UPDATE snapshots SET recorded_at = '2040-01-01 00:00:05.000' WHERE id = 2",
                 nullptr, nullptr, nullptr);
    sqlite3_close(conn);

    Replay const last = replay_file(path_, "/p/a.c");
    EXPECT_EQ(last.content, "disk!\n");
    EXPECT_EQ(last.snapshot_reason, "fast_insertion");
    struct Case {
        double at;
        std::string content;
        std::size_t ignored;
    };
    Case const cases[] = {{1, std::string("aXb\0c\n", 6), 0},  // a row's own time includes it
                          {2.9, std::string("aXb\0c\n", 6), 0},
                          {4.5,
                           std::string("\xc3\xa9"
                                       "b\0c\nY",
                                       7),
                           1},
                          {5, "disk\n", 0}};
    for (auto const& c : cases) {
        Replay const replay = replay_file(path_, "/p/a.c", at(c.at));
        EXPECT_EQ(replay.content, c.content) << c.at;
        EXPECT_EQ(replay.ignored, c.ignored) << c.at;
    }
}

TEST_F(ReplayTest, SaysWhyAFileCannotBeRebuilt) {
    db_.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, "a");
    auto const failure = [&](std::filesystem::path const& db, std::filesystem::path const& file,
                             std::optional<Timestamp> at) -> std::string {
        try {
            replay_file(db, file, at);
        } catch (ReplayError const& error) {
            return error.what();
        }
        return "no error";
    };
    EXPECT_NE(failure(path_, "/p/b.c", {}).find("no snapshot of /p/b.c in "), std::string::npos);
    EXPECT_NE(failure(path_, "/p/a.c", parse_time("2000-01-01T00:00:00Z"))
                  .find("2000-01-01 00:00:00.000000000 is before the first snapshot of /p/a.c"),
              std::string::npos);
    EXPECT_NE(failure(dir_ / "none.sqlite3", "/p/a.c", {}).find("no database at "),
              std::string::npos);
}
