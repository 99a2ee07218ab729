#include "editor/filemap_cache.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

// Rewrites the map in place (same inode), as an editor that truncates and writes does.
void rewrite_in_place(std::filesystem::path const& path, std::string const& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace

// The cached map answers every question as a fresh reading of the map would, whatever way the
// map changed between two messages.
TEST(FileMapCache, AnswersAsAFreshReadingAfterEveryKindOfChange) {
    TempDir dir;
    auto const map = dir / "tracked";
    FileMapCache cache(map, "/p");
    std::vector<std::string> const queries{"/p/a.c", "/p//a.c", "/p/b.c", "/p/a.c/", "/p/c.c", ""};
    auto check = [&](char const* when) {
        for (auto const& query : queries) {
            EXPECT_EQ(cache.names(query), filemap_names(map, query)) << when << " / " << query;
        }
    };
    check("missing");
    write_file(map, "1;2;/p/a.c\n");
    check("created");
    EXPECT_TRUE(cache.names("/p//a.c"));
    // Same size, same inode, written at once: still seen by the next question.
    rewrite_in_place(map, "1;2;/p/b.c\n");
    check("rewritten in place, same size");
    EXPECT_FALSE(cache.names("/p/a.c"));
    EXPECT_TRUE(cache.names("/p/b.c"));
    write_file(dir / "next", "1;2;/p/b.c\n3;4;/p/c.c\n");
    std::filesystem::rename(dir / "next", map);  // replaced by another file, as the tools do
    check("replaced");
    EXPECT_TRUE(cache.names("/p/c.c"));
    ::chmod(map.c_str(), 0);
    if (!std::ifstream(map)) {  // root reads it anyway
        check("unreadable");
        EXPECT_FALSE(cache.names("/p/c.c"));
    }
    ::chmod(map.c_str(), 0644);
    check("readable again");
    std::filesystem::remove(map);
    check("removed");
    EXPECT_FALSE(cache.names("/p/b.c"));
    EXPECT_EQ(cache.current().size(), 0u);
}

// An unchanged, settled map is not read again: its file can be made unreadable by content
// without the answers changing, since nothing about the file changed.
TEST(FileMapCache, ASettledMapIsParsedOnce) {
    TempDir dir;
    auto const map = write_file(dir / "tracked", "1;2;/p/a.c\n");
    timespec const old_times[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, map.c_str(), old_times, 0), 0);
    FileMapCache cache(map, "/p");
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(cache.names("/p/a.c"));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(cache.current().size(), 1u);
}
