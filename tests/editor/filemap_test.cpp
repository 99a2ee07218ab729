#include "editor/filemap.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <map>

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
    std::vector<std::size_t> skipped;
    for (auto const& problem : reading.problems) {
        skipped.push_back(problem.line_number);
    }
    EXPECT_EQ(skipped, (std::vector<std::size_t>{7, 8, 9, 10, 11, 12}));
    EXPECT_TRUE(parse_filemap(dir / "absent").empty());
}

// The map is read for every change message: identical problems are not repeated, a changed file
// is reported anew.
TEST(FileMap, LogsSkippedLinesOncePerChangeOfTheFile) {
    TempDir dir;
    auto const file = write_file(dir / "tracked", "1;2;/good\nbad line\n");
    testing::internal::CaptureStdout();
    parse_filemap(file);
    parse_filemap(file);
    write_file(file, "1;2;/good\nbad line\nanother bad one\n");
    EXPECT_EQ(parse_filemap(file).size(), 1u);
    std::string const prefix = "[VSCodeListener] file map " + file.native() + " line ";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              prefix + "2 skipped (no file id): bad line\n" + prefix +
                  "2 skipped (no file id): bad line\n" + prefix +
                  "3 skipped (no file id): another bad one\n");
}
