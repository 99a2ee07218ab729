#include "editor/filemap.hpp"
#include "support/captured_log.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

TEST(FileMap, ReadsInodeDevicePathLinesAndListsTheUnusableOnes) {
    TempDir dir;
    auto const file = write_file(dir / "tracked",
                                 "12;34;/p/a.c\n"
                                 " 56; 78;/p/b c.txt;ignored\n"
                                 "7x;8 ;/p/crlf\r\n"  // numbers stop at the first non-digit
                                 "1;2;/old\n"
                                 "1;2;/new\n"  // the same file id: replaces the line before
                                 "\n"
                                 "abc;2;/no-inode\n"
                                 "3;;/no-device\n"
                                 "18446744073709551616;1;/overflow\n"
                                 "-1;1;/negative\n"
                                 "4;5\n"
                                 "6;7;\n"
                                 "18446744073709551615;8;/p/c\n"
                                 "9;1;/p/c");  // the same path under another id stays apart
    FileMapReading const reading = read_filemap(file);
    std::map<FileId, std::string> entries;
    for (auto const& [fid, data] : reading.map) {
        entries[fid] = data.filepath.native();
    }
    EXPECT_EQ(entries, (std::map<FileId, std::string>{{{12, 34}, "/p/a.c"},
                                                      {{56, 78}, "/p/b c.txt"},
                                                      {{7, 8}, "/p/crlf\r"},
                                                      {{1, 2}, "/new"},
                                                      {{18446744073709551615ull, 8}, "/p/c"},
                                                      {{9, 1}, "/p/c"}}));
    EXPECT_TRUE(parse_filemap(dir / "absent").empty());
}

// The per-message check gives the answer of a search of the whole map, and logs the same lines.
TEST(FileMap, NamingAFileAnswersAsASearchOfTheWholeMapAndLogsAlike) {
    TempDir dir;
    struct Case {
        std::string map;
        std::vector<std::string> queries;
    };
    Case const cases[] = {
        {"1;2;/p/a.c\n",
         {"/p/a.c", "/p//a.c", "//p/a.c", "/p/a.c/", "p/a.c", "/p/./a.c", "/p/a.cc", ""}},
        {"1;2;///p//a.c\n5;6;/p/sub/\n", {"/p/a.c", "/p/a.c/", "/p/sub", "/p/sub/", "/p/sub//"}},
        {"1;2;/old\n1;2;/new\n3;4;/same\n5;6;/same", {"/old", "/new", "/same"}},
        {"7x;8 ;/p/crlf\r\n", {"/p/crlf", "/p/crlf\r"}},
        {"abc;2;/bad\n\n4;5\n9;9;/p/b;extra\n", {"/bad", "/p/b", "/p/b;extra"}},
        {"", {"/p/a.c", ""}},
    };
    std::filesystem::create_directory(dir / "again");
    int round = 0;
    for (Case const& c : cases) {
        // Fresh files each time, so that each reading reports its skipped lines anew.
        std::string const name = "tracked" + std::to_string(round++);
        auto const file = write_file(dir / name, c.map);
        capture_log();
        filemap_names(file, "/unrelated");
        std::string const logged = captured_log();
        capture_log();
        FileMap const map = parse_filemap(write_file(dir / "again" / name, c.map));
        std::string expected = captured_log();
        for (auto at = expected.find("again/"); at != expected.npos; at = expected.find("again/")) {
            expected.erase(at, 6);
        }
        EXPECT_EQ(logged, expected) << c.map;
        for (std::string const& query : c.queries) {
            bool const listed = std::any_of(map.begin(), map.end(), [&](auto const& entry) {
                return entry.second.filepath == std::filesystem::path(query);
            });
            EXPECT_EQ(filemap_names(file, query), listed) << c.map << " / " << query;
        }
    }
    EXPECT_FALSE(filemap_names(dir / "absent", "/p/a.c"));
    // The map is read for every change message: its problems are logged again only once it changed.
    capture_log();
    filemap_names(dir / "tracked4", "/p/b");
    write_file(dir / "tracked4", "bad line\n");
    filemap_names(dir / "tracked4", "/p/b");
    EXPECT_EQ(captured_log(), "[VSCodeListener] file map " + (dir / "tracked4").native() +
                                  " line 1 skipped (no file id): bad line\n");
}

TEST(FileMap, AMapThatCannotBeReadAnswersWithItsLastReadingAndIsNeverEmptyInstead) {
    TempDir dir;
    auto const map = write_file(dir / "tracked", "1;2;/p/a.c\n");
    auto const fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(read_filemap(fifo), FileMapError);
    EXPECT_TRUE(read_filemap(dir / "missing").map.empty());

    EXPECT_TRUE(filemap_names(map, "/p/a.c"));
    std::filesystem::rename(map, dir / "kept");
    std::filesystem::rename(fifo, map);
    capture_log();
    EXPECT_TRUE(filemap_names(map, "/p/a.c"));
    EXPECT_EQ(read_filemap(map).map.size(), 1u);
    std::filesystem::remove(map);
    std::filesystem::rename(dir / "kept", map);
    EXPECT_TRUE(filemap_names(map, "/p/a.c"));
    std::string const log = captured_log();
    EXPECT_EQ(log, "[VSCodeListener] error: file map " + map.native() +
                       " cannot be read (it is a FIFO): its last reading is used\n"
                       "[VSCodeListener] file map " +
                       map.native() + " can be read again\n");
}

