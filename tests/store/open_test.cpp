#include "app/startup_error.hpp"
#include "store/event_db.hpp"

#include "sql_reader.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(EventDBOpen, MissingDataDirectoryIsRefusedAndNotCreated) {
    TempDir dir;
    auto const path = dir / ".wardlet" / "wardlet.sqlite3";
    testing::internal::CaptureStdout();
    EXPECT_THROW(EventDB db(path.string()), StartupError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[EventDB] error: unable to open database file dbpath=" + path.string() + "\n");
    EXPECT_FALSE(fs::exists(dir / ".wardlet"));
}

// SQLite opens an empty name as a private temporary database, which leaves no file to record in.
TEST(EventDBOpen, OpenWithoutAFileOnDiskIsRefused) {
    testing::internal::CaptureStdout();
    EXPECT_THROW(EventDB db(""), StartupError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[EventDB] error: no database file after open dbpath=\n");
}

// Each unusable database ends an entry-point-like process with status 1 and the error line.
// The probe gives up root first, so that file permissions apply.
TEST(EventDBOpen, UnusableDatabaseEndsTheProcessWithStatusOne) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::create_directories(dir / "locked");
    SqlReader(dir / "locked" / "db")("CREATE TABLE file_events (x)");
    fs::permissions(dir / "locked", fs::perms::none);
    SqlReader(dir / "readonly")("CREATE TABLE unrelated (x)");
    fs::permissions(dir / "readonly", fs::perms::owner_read | fs::perms::others_read);

    struct Case {
        fs::path path;
        std::string reason;  // empty: any reason
    };
    Case const cases[] = {{dir / "absent" / "db", "unable to open database file"},
                          {dir / "locked" / "db", ""},
                          {dir / "readonly", "attempt to write a readonly database"}};
    for (auto const& c : cases) {
        auto const result = run_process({STORE_OPEN_PROBE, c.path.string(), "--unprivileged"});
        EXPECT_EQ(result.status, 1) << c.path;
        std::string const prefix = "[EventDB] error: " + c.reason;
        std::string const suffix = " dbpath=" + c.path.string() + "\n";
        EXPECT_EQ(result.output.rfind(prefix, 0), 0u) << result.output;
        EXPECT_TRUE(result.output.ends_with(suffix)) << result.output;
    }
}
