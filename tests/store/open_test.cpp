#include "app/startup_error.hpp"
#include "store/event_db.hpp"
#include "support/captured_log.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

// An unusable database is refused with its error line (the entry point then ends with status 1),
// and a missing directory is not created. SQLite opens an empty name as a private temporary
// database, which leaves no file to record in.
TEST(EventDBOpen, UnusableDatabaseIsRefusedWithItsReason) {
    TempDir dir;
    write_file(dir / "foreign", std::string(4096, 'x'));
    std::pair<fs::path, std::string> const cases[] = {
        {dir / "absent" / "db", "unable to open database file"},
        {dir.path(), "unable to open database file"},
        {dir / "foreign", "file is not a database"},
        {"", "no database file after open"}};
    for (auto const& [path, reason] : cases) {
        capture_log();
        EXPECT_THROW(EventDB db(path.native()), StartupError) << path;
        EXPECT_EQ(captured_log(), "[EventDB] error: " + reason + " dbpath=" + path.native() + "\n");
    }
    EXPECT_FALSE(fs::exists(dir / "absent"));
}
