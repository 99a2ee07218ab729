#include "editor/filemap.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::filesystem::path path_of(FileMap const& map, FileId fid) {
    return map.at(fid).filepath;
}

}  // namespace

TEST(FileMap, ReadsInodeDeviceAndPathPerLine) {
    TempDir dir;
    auto const file =
        write_file(dir / "tracked", "12;34;/p/a.c\n 56; 78;/p/b c.txt;ignored\n9;1;/p/c");
    FileMap const map = parse_filemap(file);
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(path_of(map, {12, 34}), "/p/a.c");
    EXPECT_EQ(path_of(map, {56, 78}), "/p/b c.txt");
    EXPECT_EQ(path_of(map, {9, 1}), "/p/c");
}

TEST(FileMap, LaterLineWithTheSameIdReplacesAndSamePathsStaySeparate) {
    TempDir dir;
    auto const file = write_file(dir / "tracked", "1;2;/old\n1;2;/new\n3;4;/same\n5;6;/same\n");
    FileMap const map = parse_filemap(file);
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(path_of(map, {1, 2}), "/new");
    EXPECT_EQ(path_of(map, {3, 4}), "/same");
    EXPECT_EQ(path_of(map, {5, 6}), "/same");
}

TEST(FileMap, KeepsCarriageReturnsAndStopsNumbersAtTheFirstNonDigit) {
    TempDir dir;
    auto const file = write_file(dir / "tracked", "7x;8 ;/p/crlf\r\n");
    FileMap const map = parse_filemap(file);
    EXPECT_EQ(path_of(map, {7, 8}), "/p/crlf\r");
}

TEST(FileMap, SkipsUnusableLinesAndKeepsTheGoodOnes) {
    TempDir dir;
    auto const file = write_file(dir / "tracked",
                                 "1;2;/good\n"
                                 "\n"
                                 "abc;2;/no-inode\n"
                                 "3;;/no-device\n"
                                 "18446744073709551616;1;/overflow\n"
                                 "-1;1;/negative\n"
                                 "4;5\n"
                                 "6;7;\n"
                                 "18446744073709551615;8;/largest\n");
    FileMapReading const reading = read_filemap(file);
    EXPECT_EQ(reading.map.size(), 2u);
    EXPECT_EQ(path_of(reading.map, {18446744073709551615ull, 8}), "/largest");
    std::vector<std::size_t> skipped;
    for (auto const& problem : reading.problems) {
        skipped.push_back(problem.line_number);
    }
    EXPECT_EQ(skipped, (std::vector<std::size_t>{3, 4, 5, 6, 7, 8}));
}

TEST(FileMap, LogsSkippedLinesOncePerChangeOfTheFile) {
    TempDir dir;
    auto const file = write_file(dir / "tracked", "1;2;/good\nbad line\n");
    testing::internal::CaptureStdout();
    parse_filemap(file);
    parse_filemap(file);
    write_file(file, "1;2;/good\nbad line\nanother bad one\n");
    parse_filemap(file);
    std::string const out = testing::internal::GetCapturedStdout();
    auto count = [&](std::string const& needle) {
        std::size_t n = 0;
        for (auto at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1)) {
            ++n;
        }
        return n;
    };
    // Identical problems are not repeated; a changed file is reported anew.
    EXPECT_EQ(count("tracked line 2 skipped (no file id): bad line\n"), 2u) << out;
    EXPECT_EQ(count("tracked line 3 skipped (no file id): another bad one\n"), 1u) << out;
}

TEST(FileMap, MissingFileGivesAnEmptyMap) {
    TempDir dir;
    EXPECT_TRUE(parse_filemap(dir / "absent").empty());
}

TEST(FileMap, HashUsesOnlyTheLowHalfOfTheDeviceNumber) {
    FastFIDHash const hash;
    EXPECT_NE(hash({1, 2}), hash({1, 3}));
    EXPECT_EQ(hash({1, 2}), hash({1, 2 + 4294967296ull}));
    FileMap map;
    map[{1, 2}] = {"/a"};
    map[{1, 2 + 4294967296ull}] = {"/b"};
    EXPECT_EQ(map.size(), 2u);
}

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
    int round = 0;
    for (Case const& c : cases) {
        // A fresh file each time, so that each reading reports its skipped lines anew.
        auto const file = write_file(dir / ("tracked" + std::to_string(round++)), c.map);
        testing::internal::CaptureStdout();
        filemap_names(file, "/unrelated");
        std::string const logged = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        FileMap const map = parse_filemap(write_file(dir / "again", c.map));
        std::string expected = testing::internal::GetCapturedStdout();
        for (auto at = expected.find("again"); at != expected.npos; at = expected.find("again")) {
            expected.replace(at, 5, file.filename().native());
        }
        EXPECT_EQ(logged, expected) << c.map;
        std::filesystem::remove(dir / "again");
        for (std::string const& query : c.queries) {
            bool const listed = std::any_of(map.begin(), map.end(), [&](auto const& entry) {
                return entry.second.filepath == std::filesystem::path(query);
            });
            EXPECT_EQ(filemap_names(file, query), listed) << c.map << " / " << query;
        }
    }
    EXPECT_FALSE(filemap_names(dir / "absent", "/p/a.c"));
}
