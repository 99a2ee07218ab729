#include "events/event_bus.hpp"
#include "store/event_db.hpp"
#include "store/recovery_file.hpp"
#include "support/captured_log.hpp"

#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

VSCodeEvent vscode_event(int n, std::string inserted = "x") {
    VSCodeEvent event;
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.filepath = "/p/e" + std::to_string(n);
    event.inserted = std::move(inserted);
    return event;
}

// "/p/e1 /p/e2 ... /p/eN"
std::string paths(int first, int last) {
    std::string out;
    for (int n = first; n <= last; ++n) {
        out += (n > first ? " /p/e" : "/p/e") + std::to_string(n);
    }
    return out + "\n";
}

std::size_t count_of(std::string const& text, std::string const& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != text.npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

class EventDBConcurrency : public testing::Test {
protected:
    void SetUp() override { capture_log(); }
    void TearDown() override {
        if (!captured_) {
            // Failures reported meanwhile are in it.
            std::string const out = captured_log();
            if (HasFailure()) {
                std::fputs(out.c_str(), stderr);
            }
        }
    }
    std::string log() {
        captured_ = true;
        std::string out = captured_log();
        if (HasFailure()) {
            std::fputs(out.c_str(), stderr);
        }
        return out;
    }
    std::string in_order() {
        return reviewer(
            "SELECT group_concat(filepath, ' ') FROM (SELECT filepath FROM "
            "vscode_events ORDER BY id)");
    }

    TempDir dir;
    fs::path const path = dir / "wardlet.sqlite3";
    SqlReader reviewer{path};
    bool captured_ = false;
};

}  // namespace

// A reviewer inside a read transaction costs the writer nothing: rows are committed while the
// reviewer still sees its own moment, and the close writes everything (the write-ahead log stays
// while the reviewer is inside, and goes with the reviewer's own close).
TEST_F(EventDBConcurrency, ReaderInsideATransactionNeverHoldsUpTheWriter) {
    {
        EventDB db(path.string());
        // Opening alone leaves the file as it is; the first write brings the write-ahead log.
        EXPECT_FALSE(db.write_ahead_log());
        EXPECT_EQ(reviewer("PRAGMA journal_mode"), "delete\n");
        db.begin_writing();
        EXPECT_TRUE(db.write_ahead_log());
        EXPECT_EQ(SqlReader(path)("PRAGMA journal_mode"), "wal\n");
        db.enable_group_commit(2ms);
        ASSERT_EQ(reviewer("BEGIN; SELECT count(*) FROM vscode_events"), "0\n");
        for (int n = 1; n <= 2000; ++n) {
            db.store(vscode_event(n));
        }
        db.commit_pending();
        EXPECT_EQ(SqlReader(path)("SELECT count(*) FROM vscode_events"), "2000\n");
        EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events"), "0\n");
        for (int n = 2001; n <= 2100; ++n) {
            db.store(vscode_event(n));
        }
        EXPECT_EQ(db.close().rows, 0u);
    }
    EXPECT_EQ(reviewer("COMMIT"), "");
    EXPECT_EQ(in_order(), paths(1, 2100));
    std::string const out = log();
    EXPECT_EQ(out.find("error"), out.npos) << out;
    EXPECT_EQ(count_of(out, "[EventDB] registering vscode event... /p/e"), 2100u);
}

// With no reader left, a close leaves the database file alone holding the record, in its plain
// journal mode.
TEST_F(EventDBConcurrency, CloseCheckpointsAndRemovesTheWriteAheadLog) {
    {
        EventDB db(path.string());
        db.enable_group_commit(2ms);
        db.store(vscode_event(1));
        db.commit_pending();
        EXPECT_TRUE(fs::exists(path.native() + "-wal"));
    }
    EXPECT_FALSE(fs::exists(path.native() + "-wal"));
    fs::copy_file(path, dir / "copy.sqlite3");
    EXPECT_EQ(SqlReader(dir / "copy.sqlite3")("PRAGMA journal_mode; SELECT filepath FROM "
                                              "vscode_events"),
              "delete\n/p/e1\n");
}

// Another writer keeps the database far longer than the busy timeout: rows wait, in order, with
// one line when the trouble starts and one when they are written.
TEST_F(EventDBConcurrency, ExclusiveWriterLongerThanAnyTimeoutDelaysRowsWithoutLosingThem) {
    EventDB db(path.string());
    db.begin_writing();
    db.enable_group_commit(2ms);
    SqlReader other(path);
    ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
    for (int n = 1; n <= 300; ++n) {
        db.store(vscode_event(n));
    }
    // Each wait ends with a failed attempt: two of them outlast any single timeout.
    db.commit_pending();
    db.commit_pending();
    EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events"), "0\n");
    for (int n = 301; n <= 310; ++n) {
        db.store(vscode_event(n));
    }
    ASSERT_EQ(other("COMMIT"), "");
    db.commit_pending();
    EXPECT_EQ(in_order(), paths(1, 310));
    db.close();  // the end of the trouble is logged after the rows settle
    std::string const out = log();
    EXPECT_EQ(count_of(out, "[EventDB] error: rows cannot be written: database is locked; "), 1u)
        << out;
    EXPECT_EQ(count_of(out, "rows pending, kept to retry\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "[EventDB] rows are written again after: database is locked; "), 1u)
        << out;
    EXPECT_EQ(count_of(out, "still cannot"), 0u) << out;
}

// While the database cannot be written, the log hears of it once when the trouble starts, then
// once per reminder interval at the next failed attempt, naming the rows pending, and once when
// the rows are written again.
TEST_F(EventDBConcurrency, TroubleIsLoggedAtItsStartAtEachIntervalAndAtItsEnd) {
    EventDBLimits limits;
    limits.trouble_reminder = 300ms;  // shorter than one attempt on a locked database
    EventDB db(path.string(), limits);
    db.begin_writing();
    db.enable_group_commit(2ms);
    SqlReader other(path);
    ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
    for (int n = 1; n <= 50; ++n) {
        db.store(vscode_event(n));
    }
    db.commit_pending();  // the first attempt failed
    for (int n = 51; n <= 70; ++n) {
        db.store(vscode_event(n));
    }
    // Each a reminder: an attempt lasts longer than the interval. The first may have begun while
    // rows 51 to 70 were being stored; the second began after it failed, with all 70 pending.
    db.commit_pending();
    db.commit_pending();
    ASSERT_EQ(other("COMMIT"), "");
    db.commit_pending();
    EXPECT_EQ(in_order(), paths(1, 70));
    db.close();  // the writer says the trouble ended after its rows settle: let it finish
    std::string const out = log();
    std::string const started =
        "[EventDB] error: rows cannot be written: database is locked; 50 rows pending, kept to "
        "retry\n";
    std::string const reminded =
        "[EventDB] error: rows still cannot be written: database is locked; ";
    std::string const ended = "[EventDB] rows are written again after: database is locked; ";
    EXPECT_EQ(count_of(out, started), 1u) << out;
    EXPECT_EQ(count_of(out, reminded), 2u) << out;
    std::size_t const first_count = std::stoul(out.substr(out.find(reminded) + reminded.size()));
    EXPECT_GE(first_count, 50u) << out;
    EXPECT_LE(first_count, 70u) << out;
    EXPECT_EQ(out.substr(out.rfind(reminded) + reminded.size(), 16), "70 rows pending\n") << out;
    EXPECT_EQ(count_of(out, ended), 1u) << out;
    EXPECT_LT(out.find(started), out.find(reminded));
    EXPECT_LT(out.rfind(reminded), out.find(ended));
    EXPECT_EQ(count_of(out, "[EventDB] error:"), 3u) << out;
}

// Rows that cannot be written are held up to a bound: past it, storing waits, so the bus stops
// taking events and its publishers (the editor's connections) wait in turn. Nothing is dropped:
// once the database can be written, every row is there, in order.
TEST_F(EventDBConcurrency, PendingRowsPastTheirBoundHoldUpTheBusWithoutLosingRows) {
    EventDBLimits limits;
    limits.max_pending_bytes = 64 << 10;
    EventDB db(path.string(), limits);
    db.begin_writing();
    db.enable_group_commit(2ms);
    EventBus bus;
    bus.subscribe(BaseEvent::Types::VSCODE_EVENT,
                  [&db](Event event) { db.store(std::get<VSCodeEvent>(std::move(event))); });
    SqlReader other(path);
    ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
    constexpr int kEvents = 2000;  // far more than the bound and the bus's queue hold
    std::atomic<int> published{0};
    std::thread editor([&] {
        for (int n = 1; n <= kEvents; ++n) {
            bus.publish(vscode_event(n, std::string(1000, 'a' + n % 26)));
            published = n;
        }
    });
    // The publisher comes to a stop and stays there while the database is locked.
    int stalled_at = -1;
    auto const give_up = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < give_up) {
        int const before = published;
        std::this_thread::sleep_for(300ms);
        if (published == before) {
            stalled_at = before;
            break;
        }
    }
    ASSERT_GT(stalled_at, 0);
    // Held: the rows within the bound, the one waiting for room, and the bus's queue.
    EXPECT_LE(stalled_at, static_cast<int>((64 << 10) / 1000 + 2 + EventBus::MAX_QUEUED));
    EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events"), "0\n");
    ASSERT_EQ(other("COMMIT"), "");
    editor.join();
    ASSERT_TRUE(bus.drain(20s));
    db.commit_pending();
    EXPECT_EQ(published, kEvents);
    EXPECT_EQ(in_order(), paths(1, kEvents));
    EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events WHERE length(inserted) = 1000"),
              std::to_string(kEvents) + "\n");
    std::string const out = log();
    EXPECT_EQ(count_of(out, "[EventDB] registering vscode event... /p/e"),
              static_cast<std::size_t>(kEvents));
}

// Wired to the bus, a lone change is committed at once by the thread that delivers it, a burst in
// groups by the writer; a row the worker cannot write is left to the writer's retries, and nothing
// is lost.
TEST_F(EventDBConcurrency, RowsStoredThroughTheBusAreCommittedAloneAtOnceOrInGroups) {
    EventDB db(path.string());
    db.begin_writing();
    db.enable_group_commit(2ms);
    EventBus bus;
    bus.subscribe(BaseEvent::Types::VSCODE_EVENT,
                  [&db](Event event) { db.store(std::get<VSCodeEvent>(std::move(event))); });
    db.commit_with(bus);
    auto const rows_become = [&](std::string const& count) {
        auto const give_up = std::chrono::steady_clock::now() + 10s;
        while (reviewer("SELECT count(*) FROM vscode_events") != count) {
            if (std::chrono::steady_clock::now() > give_up) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    };
    bus.publish(vscode_event(1));
    EXPECT_TRUE(rows_become("1\n"));  // nobody asked for a commit: the lone row needs none
    ASSERT_TRUE(bus.drain(10s));
    // Delivered by its publisher on an idle bus, a lone row is committed before the publication
    // returns.
    std::vector<Event> lone;
    lone.emplace_back(std::in_place_type<VSCodeEvent>, vscode_event(2));
    bus.publish_events(lone, EventBus::Delivery::here_when_idle);
    EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events"), "2\n");
    std::vector<Event> burst;
    for (int n = 3; n <= 1000; ++n) {
        burst.emplace_back(std::in_place_type<VSCodeEvent>, vscode_event(n));
    }
    bus.publish_events(burst);
    EXPECT_TRUE(rows_become("1000\n"));
    // Locked out: the lone row waits for the writer's retries.
    SqlReader other(path);
    ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
    bus.publish(vscode_event(1001));
    ASSERT_TRUE(bus.drain(10s));
    db.commit_pending();
    EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events"), "1000\n");
    ASSERT_EQ(other("COMMIT"), "");
    EXPECT_TRUE(rows_become("1001\n"));
    EXPECT_EQ(in_order(), paths(1, 1001));
    db.close();  // the end of the trouble is logged after the rows settle
    std::string const out = log();
    EXPECT_EQ(count_of(out, "[EventDB] error: rows cannot be written: database is locked; "), 1u)
        << out;
    EXPECT_EQ(count_of(out, "[EventDB] rows are written again after: database is locked; "), 1u)
        << out;
}

// The files of the database may not grow (a full disk, as far as SQLite can tell): rows wait
// until there is room again.
TEST_F(EventDBConcurrency, FullDiskKeepsRowsUntilThereIsRoomAgain) {
    EventDB db(path.string());
    db.enable_group_commit(2ms);
    db.store(vscode_event(0));
    db.commit_pending();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto const previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 256 << 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int n = 1; n <= 200; ++n) {
        db.store(vscode_event(n, std::string(4096, 'a' + n % 26)));
    }
    db.commit_pending();
    std::string const count_while_full = reviewer("SELECT count(*) FROM vscode_events");
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, previous);
    db.commit_pending();
    db.commit_pending();
    EXPECT_NE(count_while_full, "201\n");
    EXPECT_EQ(in_order(), paths(0, 200));
    EXPECT_EQ(reviewer("SELECT count(*) FROM vscode_events WHERE length(inserted) = 4096 AND "
                       "inserted = replace(hex(zeroblob(4096)), '00', substr(inserted, 1, 1))"),
              "200\n");
    EXPECT_EQ(reviewer("PRAGMA integrity_check"), "ok\n");
    db.close();  // the end of the trouble is logged after the rows settle
    std::string const out = log();
    EXPECT_EQ(count_of(out, "[EventDB] error: rows cannot be written: "), 1u) << out;
    EXPECT_EQ(count_of(out, "[EventDB] rows are written again after: "), 1u) << out;
}

// Rows written to a file nobody can reach any more would be lost: when the file at the path is
// removed or replaced, the rows go to the database that is there now.
TEST_F(EventDBConcurrency, RemovedOrReplacedDatabaseFileIsReopenedAtItsPath) {
    EventDB db(path.string());
    db.enable_group_commit(2ms);
    db.store(vscode_event(1));
    db.commit_pending();
    for (char const* suffix : {"", "-wal", "-shm"}) {
        fs::remove(path.native() + suffix);
    }
    db.store(vscode_event(2));
    db.commit_pending();
    EXPECT_EQ(SqlReader(path)("SELECT filepath FROM vscode_events"), "/p/e2\n");
    {
        fs::path const other = dir / "other.sqlite3";
        SqlReader replacement(other);
        replacement("CREATE TABLE note (x); INSERT INTO note VALUES ('kept')");
    }
    fs::rename(dir / "other.sqlite3", path);
    db.store(vscode_event(3));
    db.commit_pending();
    EXPECT_EQ(SqlReader(path)("SELECT x FROM note; SELECT filepath FROM vscode_events"),
              "kept\n/p/e3\n");
    std::string const out = log();
    EXPECT_EQ(count_of(out,
                       "[EventDB] database file removed or replaced; writing to the one now "
                       "at dbpath=" +
                           path.native() + "\n"),
              2u)
        << out;
}

// A close while another writer keeps the database: after the bound, every pending row goes to a
// recovery file, which the next open imports exactly (bytes, NUL bytes, invalid UTF-8, blobs,
// the snapshot's place, the recording time) after the rows already there, then removes.
TEST_F(EventDBConcurrency, RowsThatCannotBeWrittenAtCloseAreRecoveredAtTheNextStart) {
    {
        EventDB db(path.string());
        db.store(vscode_event(1));
    }
    std::string const odd_text("nul\0in\xff\xfe", 8);
    std::string const recorded_before = recorded_at_text(std::chrono::system_clock::now());
    SqlReader other(path);
    EventDB::Unwritten unwritten;
    {
        EventDB db(path.string());
        ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
        db.enable_group_commit(2ms);
        db.store(vscode_event(2, odd_text));
        db.store_snapshot("/p/e2", {7, 8}, SnapshotReason::START, std::string("\0\x01\xff", 3));
        FileEvent file;
        file.type = BaseEvent::Types::FILE_EVENT;
        file.filepath = odd_text;
        db.store(file);
        db.store(vscode_event(3));
        unwritten = db.close(300ms);
    }
    ASSERT_EQ(unwritten.rows, 4u);
    fs::path const recovery = unwritten.place;
    EXPECT_EQ(recovery.parent_path(), dir.path());
    EXPECT_TRUE(recovery.filename().native().starts_with("unwritten-"));
    EXPECT_TRUE(fs::exists(recovery));
    ASSERT_EQ(other("COMMIT"), "");

    // A file that does not parse is kept and named; it sorts first, and does not hold up others.
    fs::path const broken = dir / "unwritten-00000000T000000.000000Z.jsonl";
    std::ofstream(broken) << "{\"table\": \"vscode_events\"\n";
    {
        EventDB db(path.string());
        db.store(vscode_event(0));  // stands for rows already there before the import
        import_unwritten(db, dir.path());
    }
    EXPECT_FALSE(fs::exists(recovery));
    EXPECT_TRUE(fs::exists(broken));
    EXPECT_EQ(in_order(), "/p/e1 /p/e0 /p/e2 /p/e3\n");
    EXPECT_EQ(reviewer("SELECT hex(inserted), typeof(inserted), recorded_at >= '" +
                       recorded_before + "' FROM vscode_events WHERE filepath = '/p/e2'"),
              "6E756C00696EFFFE|text|1\n");
    EXPECT_EQ(reviewer("SELECT hex(filepath), typeof(filepath), action, hash FROM file_events"),
              "6E756C00696EFFFE|text|Unknown_FileAction|<hash>\n");
    EXPECT_EQ(reviewer("SELECT fid, hex(content), typeof(content), after_event_id FROM snapshots"),
              "7;8|0001FF|blob|3\n");
    std::string const out = log();
    EXPECT_EQ(count_of(out, "[EventDB] error: cannot read the unwritten rows of " +
                                broken.native() + "; the file is kept\n"),
              1u)
        << out;
    EXPECT_EQ(count_of(out, "[EventDB] 4 unwritten rows written from " + recovery.native()), 1u)
        << out;
}

// The columns the mirror's order and a copy's source live in go through a recovery file like the
// others, and a database that imported rows reports their places among those a new run follows.
TEST_F(EventDBConcurrency, RecoveredRowsKeepTheirCopySourceAndMirrorPlaces) {
    SqlReader other(path);
    EventDB::Unwritten unwritten;
    {
        EventDB db(path.string());
        ASSERT_TRUE(db.records_offsets());
        ASSERT_EQ(other("BEGIN EXCLUSIVE"), "");
        db.enable_group_commit(2ms);
        VSCodeEvent copied = vscode_event(1, "pasted");
        copied.copy_source = "/p/source.c";
        copied.copy_source_offset = 42;
        copied.mirror_seq = 7;
        db.store(copied);
        db.store(vscode_event(2));  // no source, no place: stays NULL
        db.store_snapshot("/p/e1", {1, 2}, SnapshotReason::EDITOR_OPEN, "text", 9);
        unwritten = db.close(300ms);
    }
    ASSERT_EQ(unwritten.rows, 3u);
    ASSERT_EQ(other("COMMIT"), "");
    {
        EventDB db(path.string());
        EXPECT_EQ(db.last_mirror_seq(), 0u);
        import_unwritten(db, dir.path());
        EXPECT_EQ(db.last_mirror_seq(), 9u);
    }
    EXPECT_EQ(reviewer("SELECT filepath, quote(copy_source), quote(copy_source_offset), "
                       "quote(mirror_seq) FROM vscode_events ORDER BY id"),
              "/p/e1|'/p/source.c'|42|7\n/p/e2|NULL|NULL|NULL\n");
    EXPECT_EQ(reviewer("SELECT reason, mirror_seq, after_event_id FROM snapshots"),
              "editor_open|9|2\n");
    EventDB reopened(path.string());
    EXPECT_EQ(reopened.last_mirror_seq(), 9u);
    log();
}

// Rows keep their exact values through a line of a recovery file.
TEST(RecoveryFile, RowsSurviveALineExactly) {
    PendingRow row;
    std::vector<RowValue> values{RowValue::null(),
                                 RowValue::number(-9'223'372'036'854'775'807 - 1),
                                 RowValue::text(std::string("a\0\n\"b\xc3", 6)),
                                 RowValue::text("d\xc3\xa9j\xc3\xa0"),
                                 RowValue::blob(std::string("\0\xff", 2)),
                                 RowValue::latest_id_of("vscode_events")};
    row.shape = RowShape::make("t", {"a", "b", "c", "d", "e", "f"}, values);
    row.values = values;
    auto const line = encode_row(row);
    EXPECT_EQ(line.find('\n'), line.npos);
    auto const back = decode_row(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->shape->table, "t");
    EXPECT_EQ(back->shape->columns,
              (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "recorded_at"}));
    values.push_back(RowValue::text(recorded_at_text(row.received_at)));
    EXPECT_EQ(back->values, values);
    EXPECT_EQ(back->shape->sql,
              "INSERT INTO t (a, b, c, d, e, f, recorded_at) SELECT ?, ?, ?, ?, "
              "?, COALESCE(MAX(rowid), 0), ? FROM vscode_events");
    for (char const* bad : {"", "[]", R"({"table":"t","columns":["a"],"values":[]})",
                            R"({"table":"t","columns":["a"],"values":[{"blob_hex":"0"}]})",
                            R"({"table":"t","columns":["a"],"values":[1.5]})",
                            R"({"table":"t; DROP TABLE t","columns":["a"],"values":[1]})"}) {
        EXPECT_FALSE(decode_row(bad)) << bad;
    }
}
