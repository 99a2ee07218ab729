#include "store/recorded_content.hpp"
#include "store/event_db.hpp"
#include "support/captured_log.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

VSCodeEvent change(std::string const& file, std::uint64_t offset, unsigned long deleted,
                   std::string const& inserted, std::uint64_t place) {
    VSCodeEvent event;
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.filepath = file;
    event.fid = {1, 2};
    event.change_type = "change";
    event.offset = offset;
    event.deleted = deleted;
    event.inserted = inserted;
    event.mirror_seq = place;
    return event;
}

}  // namespace

// Several files read back at once, each from its own latest snapshot with only the changes that
// reached its mirror after it (in the mirror's order, not the rows'), give what reading each file
// on its own gives; paths match element by element, and a file without a snapshot has no answer.
TEST(RecordedContent, ManyFilesAtOnceAsEachOnItsOwn) {
    TempDir dir;
    std::filesystem::path const db_path = dir.path() / "record.sqlite3";
    capture_log();
    {
        EventDB db(db_path.native());
        db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::START, "alpha", 1);
        db.store_snapshot("/p/b.c", {1, 3}, SnapshotReason::START, "beta", 2);
        db.store(change("/p/a.c", 5, 0, "!", 3));
        db.store(change("/p//b.c", 0, 1, "B", 5));  // stored before an earlier place
        db.store(change("/p/b.c", 4, 0, "?", 4));
        db.store_snapshot("/p/a.c", {1, 2}, SnapshotReason::EDITOR_OPEN, "reset", 6);
        db.store(change("/p/a.c", 0, 1, "R", 7));
        db.store(change("/p/c.c", 0, 0, "never snapshotted", 8));
        VSCodeEvent saved = change("/p/b.c", 0, 0, "ignored", 9);
        saved.is_saved = true;
        db.store(saved);
        db.commit_pending();
    }
    captured_log();
    std::vector<std::filesystem::path> const files{"/p/a.c", "/p/b.c", "/p/c.c", "/p/./d.c"};
    auto const all = recorded_contents(db_path, files);
    EXPECT_EQ(all, (std::map<std::filesystem::path, std::string>{{"/p/a.c", "Reset"},
                                                                 {"/p/b.c", "Beta?"}}));
    for (auto const& file : files) {
        auto const found = all.find(file);
        EXPECT_EQ(recorded_content(db_path, file),
                  found == all.end() ? std::nullopt : std::optional(found->second))
            << file;
    }
    EXPECT_TRUE(recorded_contents(db_path, {}).empty());
    EXPECT_TRUE(recorded_contents(dir.path() / "missing.sqlite3", files).empty());
}
