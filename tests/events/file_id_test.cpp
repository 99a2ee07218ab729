#include "events/file_id.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(FileIdentity, IsInodeThenDeviceOrZeroWhenMissing) {
    TempDir dir;
    auto const path = write_file(dir / "f", "x");
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(file_id_of(path), (FileId{status.st_ino, status.st_dev}));
    EXPECT_EQ(file_id_of(dir / "missing"), (FileId{0, 0}));
}
