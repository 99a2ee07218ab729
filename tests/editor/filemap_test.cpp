#include "editor/filemap.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

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
