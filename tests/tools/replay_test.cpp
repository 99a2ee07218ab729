#include "tools/replay.hpp"
#include "tools/report_render.hpp"
#include "tools/session_report.hpp"
#include "tools/work_shape.hpp"

#include "index/insertion_buffer.hpp"
#include "index/text_edit.hpp"
#include "store/event_db.hpp"
#include "store/recorded_content.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

using namespace std::string_literals;
using testing::HasSubstr;

class ReplayTest : public testing::Test {
protected:
    // One editor row of `file`, stamped `ms` milliseconds after t0_, at `place` in the mirror's
    // order when given.
    void edit(std::string const& file, int ms, std::int64_t offset, std::uint64_t deleted,
              std::string const& inserted, bool saved = false,
              std::optional<std::uint64_t> place = std::nullopt) {
        VSCodeEvent event;
        event.timestamp = t0_ + std::chrono::milliseconds(ms);
        event.filepath = file;
        event.offset = static_cast<std::uint64_t>(offset);
        event.deleted = deleted;
        event.inserted = inserted;
        event.is_saved = saved;
        event.mirror_seq = place;
        db_.store(event);
    }
    // What replay_file refused with.
    std::string refusal(std::filesystem::path const& db, char const* file, char const* at) {
        try {
            replay_file(db, file, at ? parse_time(at) : std::nullopt);
        } catch (ReplayError const& error) {
            return error.what();
        }
        return "no error";
    }

    TempDir dir_;
    std::filesystem::path path_ = dir_ / "wardlet.sqlite3";
    EventDB db_{path_.native()};
    Timestamp const t0_ = *parse_time("2040-01-01T00:00:00Z");
};

TEST_F(ReplayTest, AppliesTheFilesEditsAfterItsLatestSnapshotAsTheMirrorDoesOrSaysWhyNot) {
    db_.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, "ab\0c\n"s);
    edit("/p/a.c", 1000, 1, 0, "X");           // aXb\0c\n
    edit("/p/b.c", 2000, 0, 0, "other file");  // not this file
    edit("/p/a.c", 3000, 0, 2, "é");           // replacement: éb\0c\n
    edit("/p/a.c", 3100, -1, 0, "", true);     // a save
    edit("/p/a.c", 3200, -1, 0, "no position");
    edit("/p/a.c", 3300, 100, 1, "beyond");  // beyond the end: ignored
    edit("/p//a.c", 4000, 6, 0, "Y");        // the same file to the mirror
    db_.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::FAST_INSERTION, "disk\n");
    edit("/p/a.c", 6000, 4, 0, "!");
    // The reset comes after every row above in time too.
    SqlReader{path_}("UPDATE snapshots SET recorded_at = '2040-01-01 00:00:05.000' WHERE id = 2");

    EXPECT_EQ(replay_file(path_, "/p/a.c").content, "disk!\n");
    struct Case {
        int ms;
        std::string content;
        std::size_t ignored;
    } const cases[] = {{1000, "aXb\0c\n"s, 0},  // a row's own time includes it
                       {2999, "aXb\0c\n"s, 0},
                       {4500, "éb\0c\nY"s, 1},
                       {5000, "disk\n", 0}};
    for (auto const& c : cases) {
        Replay const replay = replay_file(path_, "/p/a.c", t0_ + std::chrono::milliseconds(c.ms));
        EXPECT_EQ(replay.content, c.content) << c.ms;
        EXPECT_EQ(replay.ignored, c.ignored) << c.ms;
    }
    EXPECT_THAT(refusal(path_, "/p/b.c", nullptr), HasSubstr("no snapshot of /p/b.c in "));
    EXPECT_THAT(refusal(path_, "/p/a.c", "2000-01-01T00:00:00Z"),
                HasSubstr("2000-01-01 00:00:00.000000000 is before the first snapshot of /p/a.c"));
    EXPECT_THAT(refusal(dir_ / "none", "/p/a.c", nullptr), HasSubstr("no database at "));
}

// A reset keeps the origins of the bytes it leaves alone: the shared head and tail byte for byte,
// and the lines of the changed part that the old content had too, even one the change cut into.
TEST(LabelledText, AResetRelabelsOnlyWhatChanged) {
    Origin const t = Origin::typed, f = Origin::fast_insertion;
    struct Case {
        std::string after;
        std::vector<Origin> origins;  // one per byte
        std::size_t relabelled;
    };
    Case const cases[] = {
        // The first line rewritten and one appended: the old last line is still typed, and so is
        // the shared final line feed.
        {"X\nB\nC\nD\n", {f, f, t, t, t, t, f, t}, 3},
        {"A\nC\n", {t, t, t, t}, 0},
        {"A\nBB\nC\n", {t, t, t, f, t, t, t}, 1},
        {"Z\n", {f, t}, 1},
    };
    for (Case const& c : cases) {
        LabelledText text("A\nB\nC\n", t);
        EXPECT_EQ(text.reset(c.after, f), c.relabelled) << c.after;
        EXPECT_EQ(text.content(), c.after);
        EXPECT_EQ(text.origins(), c.origins) << c.after;
    }
}

// An edit reaches the mirror just before a reset to the disk content, but its row is stored just
// after the reset's snapshot; another reaches it just after the reset, but is stored before the
// snapshot. The replay follows the mirror's order, not the order stored.
TEST_F(ReplayTest, FollowsTheOrderInWhichChangesReachedTheMirror) {
    InsertionBuffer mirror;
    std::string const file = "/p/race.c";
    db_.store_snapshot(file, {1, 2}, SnapshotReason::START, "abc",
                       mirror.set_filecontent(file, "abc"));
    std::uint64_t const before_reset = mirror.edit_filecontent(file, 3, 0, "d");
    std::uint64_t const reset = mirror.set_filecontent(file, "disk\n");
    std::uint64_t const after_reset = mirror.edit_filecontent(file, 0, 0, ">");
    edit(file, 20, 0, 0, ">", false, after_reset);
    db_.store_snapshot(file, {1, 2}, SnapshotReason::FAST_INSERTION, "disk\n", reset);
    edit(file, 10, 3, 0, "d", false, before_reset);
    edit(file, 30, 6, 0, "!", false, mirror.edit_filecontent(file, 6, 0, "!"));

    EXPECT_EQ(mirror.get_filecontent(file), ">disk\n!");
    EXPECT_EQ(replay_file(path_, file).content, *mirror.get_filecontent(file));
    EXPECT_EQ(replay_file(path_, file, t0_ + std::chrono::milliseconds(20)).content, ">disk\n");
}

// A long session's size series stays small, evenly thinned, its first and latest sizes kept;
// the sizes of several files add up at every moment any of them changes.
TEST(WorkShape, SizeSeriesStaysBoundedAndFilesAddUp) {
    WorkShape shape;
    Timestamp const t0{};
    for (std::size_t i = 0; i < 100'000; ++i) {
        shape.add_size(t0 + std::chrono::milliseconds(i), i);
    }
    std::vector<SizePoint> const sizes = shape.sizes();
    ASSERT_LE(sizes.size(), 2 * WorkShape::SIZE_POINTS + 1);
    ASSERT_GE(sizes.size(), WorkShape::SIZE_POINTS);
    EXPECT_EQ(sizes.front().size, 0u);
    EXPECT_EQ(sizes.back().size, 99'999u);
    std::size_t const stride = sizes[1].size - sizes[0].size;
    for (std::size_t i = 1; i + 1 < sizes.size(); ++i) {
        EXPECT_EQ(sizes[i].size - sizes[i - 1].size, stride) << i;
    }

    auto const at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    std::vector<SizePoint> const total =
        summed_sizes({{{at(0), 10}, {at(5), 12}}, {{at(2), 3}, {at(5), 1}, {at(9), 0}}});
    std::vector<std::pair<int, std::size_t>> seen;
    for (SizePoint const& point : total) {
        seen.emplace_back(static_cast<int>((point.time - t0) / std::chrono::milliseconds(1)),
                          point.size);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::size_t>>{{0, 10}, {2, 13}, {5, 13}, {9, 12}}));
}

// Replay of one file reads that file's rows through the index on the rows' path, in either
// order (by mirror_seq, or by id for a snapshot stored without one): no statement steps through
// the whole table of editor rows.
TEST_F(ReplayTest, ReadsOnlyTheFilesOwnRowsThroughTheIndex) {
    InsertionBuffer mirror;
    std::filesystem::path const file = "/p/a.c";
    db_.store_snapshot(file, {1, 2}, SnapshotReason::START, "", mirror.set_filecontent(file, ""));
    db_.store_snapshot("/p/b.c", {3, 2}, SnapshotReason::START, "");
    for (int i = 0; i < 500; ++i) {
        VSCodeEvent event;
        event.timestamp = t0_ + std::chrono::milliseconds(i);
        event.filepath = i % 50 == 0 ? "/p//a.c" : "/p/b.c";
        event.offset = i % 50 == 0 ? static_cast<std::uint64_t>(i / 50) : 0;
        event.inserted = i % 50 == 0 ? "x" : "y";
        if (i % 50 == 0) {
            event.mirror_seq = mirror.edit_filecontent(file, event.offset, 0, "x");
        }
        db_.store(event);
    }
    db_.commit_pending();

    sqlite3* conn = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    struct Seen {
        std::vector<std::string> sql;
        int full_scan_steps = 0;
    } seen;
    sqlite3_trace_v2(
        conn, SQLITE_TRACE_PROFILE,
        [](unsigned, void* context, void* stmt_pointer, void*) {
            auto* stmt = static_cast<sqlite3_stmt*>(stmt_pointer);
            auto& into = *static_cast<Seen*>(context);
            into.sql.emplace_back(sqlite3_sql(stmt));
            into.full_scan_steps += sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_FULLSCAN_STEP, 0);
            return 0;
        },
        &seen);
    for (MirrorPlace const start : {MirrorPlace{0, 0}, MirrorPlace{0, std::nullopt}}) {
        seen = {};
        std::string content;
        auto const failed = for_each_edit_after(
            conn, file, start, std::nullopt,
            [&](RecordedEdit const& edit) { insert_text(content, edit.offset, edit.inserted); });
        EXPECT_EQ(failed, std::nullopt);
        EXPECT_EQ(content, "xxxxxxxxxx");
        EXPECT_EQ(seen.full_scan_steps, 0) << seen.sql.back();
        std::string plan;
        sqlite3_stmt* explain = nullptr;
        std::string const sql = "EXPLAIN QUERY PLAN " + seen.sql.back();
        ASSERT_EQ(sqlite3_prepare_v2(conn, sql.c_str(), -1, &explain, nullptr), SQLITE_OK);
        while (sqlite3_step(explain) == SQLITE_ROW) {
            plan += reinterpret_cast<char const*>(sqlite3_column_text(explain, 3));
            plan += "\n";
        }
        sqlite3_finalize(explain);
        EXPECT_THAT(plan, HasSubstr("USING INDEX vscode_events_by_file")) << plan;
    }
    sqlite3_close(conn);
    EXPECT_EQ(replay_file(path_, file).content, "xxxxxxxxxx");
}

// The report's own walk through a file follows the mirror's order too: an edit that reached the
// mirror just before a reset to the disk but was stored just after the reset's snapshot is in the
// snapshot already; one that reached it after the reset but was stored before the snapshot comes
// after it. Both the summary and the full analysis end where the mirror and the replay end, and
// a save stored after the reset keeps the mirror's content at that moment.
TEST_F(ReplayTest, TheReportWalksAFileInTheOrderItsRowsReachedTheMirror) {
    InsertionBuffer mirror;
    std::string const file = "/p/race.c";
    db_.store_snapshot(file, {1, 2}, SnapshotReason::START, "abc\n",
                       mirror.set_filecontent(file, "abc\n"));
    // Mirrored just before the reset, stored just after its snapshot.
    std::uint64_t const before_reset = mirror.edit_filecontent(file, 4, 0, "d\n");
    db_.store_snapshot(file, {1, 2}, SnapshotReason::FAST_INSERTION, "abc\nd\ndisk\n",
                       mirror.set_filecontent(file, "abc\nd\ndisk\n"));
    edit(file, 10, 4, 0, "d\n", false, before_reset);
    edit(file, 20, -1, 0, "", true);  // a save
    edit(file, 30, 0, 0, ">", false, mirror.edit_filecontent(file, 0, 0, ">"));
    std::string const final_content = *mirror.get_filecontent(file);
    ASSERT_EQ(final_content, ">abc\nd\ndisk\n");
    ASSERT_EQ(replay_file(path_, file).content, final_content);

    for (Keep const keep : {Keep::summary, Keep::everything}) {
        AnalysedRecord const analysed =
            analyse_record(path_, "/p", {}, keep, keep == Keep::everything);
        FileReport const& report = analysed.report.files.at(0);
        EXPECT_EQ(report.final_content, final_content);
        OriginCounts shares = report.shares;
        // The edit stored after the reset is no second "d\n": the disk's line is a fast insertion.
        EXPECT_EQ(shares[static_cast<std::size_t>(Origin::fast_insertion)], 5u);
        EXPECT_EQ(shares[static_cast<std::size_t>(Origin::typed)], 3u);
        if (keep == Keep::everything) {
            ASSERT_EQ(analysed.report.code_states.size(), 1u);  // at the save
            bool saved_state_seen = false;
            for (SessionEvent const& event : analysed.report.events) {
                if (event.kind == SessionEvent::Kind::save) {
                    saved_state_seen = true;
                    EXPECT_EQ(analysed.report.code_states.at(event.code_state).content,
                              "abc\nd\ndisk\n");
                }
            }
            EXPECT_TRUE(saved_state_seen);
        }
    }
}

// Two edits of one file stored in the other order than they reached the mirror (two editors at
// once): the report's walk takes them in the mirror's order and ends with the mirror's content.
TEST_F(ReplayTest, TheReportTakesEditsStoredOutOfTheMirrorsOrderInThatOrder) {
    InsertionBuffer mirror;
    std::string const file = "/p/two.c";
    db_.store_snapshot(file, {1, 2}, SnapshotReason::START, "abc",
                       mirror.set_filecontent(file, "abc"));
    std::uint64_t const first = mirror.edit_filecontent(file, 1, 1, "XY");  // aXYc
    std::uint64_t const second = mirror.edit_filecontent(file, 3, 0, "!");  // aXY!c
    edit(file, 20, 3, 0, "!", false, second);
    edit(file, 10, 1, 1, "XY", false, first);
    edit(file, 30, 5, 0, ".", false, mirror.edit_filecontent(file, 5, 0, "."));
    std::string const final_content = *mirror.get_filecontent(file);
    ASSERT_EQ(final_content, "aXY!c.");
    ASSERT_EQ(replay_file(path_, file).content, final_content);
    for (Keep const keep : {Keep::summary, Keep::everything}) {
        AnalysedRecord const analysed = analyse_record(path_, "/p", {}, keep);
        FileReport const& report = analysed.report.files.at(0);
        EXPECT_EQ(report.final_content, final_content);
        EXPECT_EQ(report.shares[static_cast<std::size_t>(Origin::typed)], 4u);
        if (keep == Keep::everything) {
            ASSERT_EQ(report.steps.size(), 3u);
            // The steps name the rows in the mirror's order: the second stored first.
            EXPECT_EQ(analysed.record.editor[report.steps[0].row].inserted, "XY");
            EXPECT_EQ(analysed.record.editor[report.steps[1].row].inserted, "!");
        }
    }
}

// Random edits, line-end switches and resets at wandering places: the labelled text keeps the
// same content and origins as plain edits of a string and of one origin per byte would, whatever
// its gap does.
TEST(LabelledText, EditsEverywhereMatchPlainEditsOfTheContent) {
    std::mt19937 random(11);
    std::string content = "int a;\nint b;\n";
    std::vector<Origin> origins(content.size(), Origin::initial);
    LabelledText text(content, Origin::initial);
    auto const pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound)(random);
    };
    for (int step = 0; step < 20'000; ++step) {
        std::size_t const roll = pick(99);
        if (roll < 2) {
            std::string const next = content.substr(0, pick(content.size())) + "disk\n";
            text.reset(next, Origin::fast_insertion);
            content = next;
            origins = text.origins();  // the reset's labelling has its own test
        } else if (roll < 4 && !content.empty() && content.find('\r') == std::string::npos) {
            // The whole text with its line ends switched.
            std::string switched;
            for (char const c : content) {
                switched += c == '\n' ? std::string("\r\n") : std::string(1, c);
            }
            bool const done = text.switch_line_ends(0, content.size(), switched);
            EXPECT_EQ(done, switched != content) << step;
            if (done) {
                std::vector<Origin> next;
                for (std::size_t i = 0; i < content.size(); ++i) {
                    next.insert(next.end(), content[i] == '\n' ? 2 : 1, origins[i]);
                }
                content = switched;
                origins = next;
            }
        } else {
            std::uint64_t const offset = pick(content.size() + 2);
            std::uint64_t const deleted = roll < 40 ? pick(4) : roll < 42 ? ~0ull : 0;
            std::string const inserted(roll < 70 ? pick(3) : pick(300), "xyz\n"[roll % 4]);
            auto const origin = static_cast<Origin>(roll % ORIGIN_COUNT);
            std::string removed;
            std::string expected_removed =
                offset <= content.size() && deleted != 0 ? content.substr(offset, deleted) : "";
            bool const in_range = offset <= content.size();
            EXPECT_EQ(text.apply(offset, deleted, inserted, origin, &removed),
                      in_range || (deleted == 0 && inserted.empty()))
                << step;
            EXPECT_EQ(removed, expected_removed) << step;
            if (in_range) {
                std::size_t const count = static_cast<std::size_t>(
                    std::min<std::uint64_t>(deleted, content.size() - offset));
                content.erase(offset, count);
                origins.erase(origins.begin() + static_cast<std::ptrdiff_t>(offset),
                              origins.begin() + static_cast<std::ptrdiff_t>(offset + count));
                content.insert(offset, inserted);
                origins.insert(origins.begin() + static_cast<std::ptrdiff_t>(offset),
                               inserted.size(), origin);
            }
        }
        ASSERT_EQ(text.size(), content.size()) << step;
        std::size_t const at = pick(content.size());
        ASSERT_EQ(text.text_at(at, 7), content.substr(at, 7)) << step;
        if (step % 97 == 0) {
            ASSERT_EQ(text.content(), content) << step;
            ASSERT_EQ(text.origins(), origins) << step;
        }
    }
    OriginCounts expected{};
    for (Origin const origin : origins) {
        ++expected[static_cast<std::size_t>(origin)];
    }
    EXPECT_EQ(text.counts(), expected);
    EXPECT_EQ(text.content(), content);
}

// The report read row by row, keeping only what it lists, says exactly what the report that keeps
// every row says, in text and JSON, on a record with every kind of row: other files' rows, saves,
// pastes, internal copies, undos, bulk insertions, fast insertions, the editor's own text, times
// out of order and times that do not parse, and edits stored out of the mirror's order.
TEST_F(ReplayTest, TheSummaryReportsWhatTheReportOfEveryRowReports) {
    InsertionBuffer mirror;
    std::mt19937 random(5);
    std::vector<std::filesystem::path> const files = {"/p/src/a.c", "/p/src/b.c"};
    for (std::size_t f = 0; f < files.size(); ++f) {
        db_.store_snapshot(files[f], {f + 1, 2}, SnapshotReason::START, "int x;\nint y;\n",
                           mirror.set_filecontent(files[f], "int x;\nint y;\n"));
    }
    auto const pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound)(random);
    };
    std::optional<VSCodeEvent> held;  // stored after the next one
    for (int step = 0; step < 3000; ++step) {
        std::filesystem::path const& file = files[pick(1)];
        std::string const content = *mirror.get_filecontent(file);
        std::size_t const roll = pick(99);
        VSCodeEvent event;
        // Now and then a change stamped earlier than the one before it.
        event.timestamp = t0_ + std::chrono::milliseconds(step * 700 - (roll < 5 ? 3000 : 0));
        event.filepath = file.native();
        if (roll < 3) {
            std::string const disk = content + "// generated\n";
            db_.store_snapshot(file, {1, 2}, SnapshotReason::FAST_INSERTION, disk,
                               mirror.set_filecontent(file, disk));
            FileEvent fast;
            fast.filepath = file.native();
            fast.handler_type = "TRACKEDFILE";
            fast.incident_type = "FAST_INSERTION";
            fast.diff = "+ // generated\n";
            db_.store(fast);
            continue;
        }
        if (roll < 4) {
            std::string const editor_text = "/* unsaved */\n" + content;
            db_.store_snapshot(file, {1, 2}, SnapshotReason::EDITOR_OPEN, editor_text,
                               mirror.set_filecontent(file, editor_text));
            continue;
        }
        if (roll < 8) {
            event.is_saved = true;
            event.offset = std::numeric_limits<std::uint64_t>::max();
        } else if (roll < 10) {
            event.filepath = "/p/notes.txt";
            event.offset = 0;
            event.inserted = "n";
        } else {
            event.offset = pick(content.size());
            event.deleted = roll < 30 ? 1 + pick(2) : 0;
            event.inserted = roll < 30   ? ""
                             : roll < 40 ? std::string(1, "xyz"[roll % 3])
                             : roll < 45
                                 ? content.substr(0, std::min<std::size_t>(30, content.size()))
                             : roll < 47 ? "for (;;) {\n    step();\n}\n"
                                         : std::string(1, "abc;\n é"[roll % 8]);
            event.is_copy_paste = roll >= 40 && roll < 43;
            event.internal_copy = roll >= 40 && roll < 44;
            event.is_undo_redo = roll >= 10 && roll < 13;
            if (event.internal_copy) {
                event.copy_source = files[0].native();
            }
            event.mirror_seq =
                mirror.edit_filecontent(file, event.offset, event.deleted, event.inserted);
        }
        if (roll == 99 && !held) {
            held = event;  // two edits stored in the other order than they were mirrored
            continue;
        }
        db_.store(event);
        if (held) {
            db_.store(*held);
            held.reset();
        }
    }
    db_.commit_pending();
    SqlReader{path_}("UPDATE vscode_events SET timestamp = 'not a time' WHERE id % 97 = 0");

    AnalysedRecord const summary = analyse_record(path_, "/p", files, Keep::summary);
    AnalysedRecord const everything = analyse_record(path_, "/p", files, Keep::everything);
    std::ostringstream summary_text;
    std::ostringstream everything_text;
    write_text_report(summary.record, summary.report, summary_text, TimeFormat(true));
    write_text_report(everything.record, everything.report, everything_text, TimeFormat(true));
    EXPECT_EQ(summary_text.str(), everything_text.str());
    EXPECT_EQ(json_report(summary.record, summary.report),
              json_report(everything.record, everything.report));
    // Only the rows it lists stay; the replay ends where the mirror ends.
    EXPECT_LT(summary.record.editor.size(), everything.record.editor.size() / 5);
    for (std::size_t f = 0; f < files.size(); ++f) {
        EXPECT_EQ(summary.report.files[f].final_content, *mirror.get_filecontent(files[f]));
        EXPECT_EQ(everything.report.files[f].final_content, *mirror.get_filecontent(files[f]));
        EXPECT_EQ(replay_file(path_, files[f]).content, *mirror.get_filecontent(files[f]));
    }
}
