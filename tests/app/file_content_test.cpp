#include "app/file_content.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

TEST(FileContent, ReadsEveryByteOrNothingForWhatIsNotARegularFile) {
    TempDir dir;
    std::string bytes("a\0b\r\n", 5);
    bytes += std::string(200000, 'x');
    EXPECT_EQ(read_file_content(write_file(dir / "f", bytes)), bytes);
    EXPECT_EQ(read_file_content(write_file(dir / "empty", "")), std::string{});
    EXPECT_EQ(read_file_content(dir / "missing"), std::nullopt);
    EXPECT_EQ(read_file_content(dir.path()), std::nullopt);
}
