#include "tools/safe_path.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(SafePath, NamesFromARecordStayBelowTheDirectoryOrAreRefused) {
    TempDir root;
    auto const dir = root / "export";
    fs::create_directories(dir / "inner");
    fs::create_directory_symlink(root.path(), dir / "up");
    fs::create_directory_symlink(dir / "inner", dir / "side");
    for (fs::path const stays : {"a.c", "src/a.c", "src/../a.c", "./b/c", "side/x", "_outside/p"}) {
        EXPECT_EQ(escape_from(dir, stays), std::nullopt) << stays;
    }
    EXPECT_EQ(escape_from(dir, "/etc/passwd"), "an absolute path");
    EXPECT_EQ(escape_from(dir, ""), "an empty path");
    for (fs::path const leaves : {"..", "../x", "a/../../x", "a/b/../../../x", "."}) {
        EXPECT_EQ(escape_from(dir, leaves), "a path leaving the directory by ..") << leaves;
    }
    EXPECT_EQ(escape_from(dir, "up/x"), "a path through a symlink leading outside the directory");
    EXPECT_EQ(refused_name("a/../../passwd", "file-3"), fs::path("_refused/passwd"));
    EXPECT_EQ(refused_name("..", "file-3"), fs::path("_refused/file-3"));

    // A symlink in place of the file itself is not followed.
    write_file(root / "victim", "keep");
    fs::create_symlink(root / "victim", dir / "link.c");
    EXPECT_THROW(write_below(dir, "link.c", "owned"), fs::filesystem_error);
    EXPECT_EQ(read_file(root / "victim"), "keep");
    write_below(dir, "new/dir/file.c", "text");
    EXPECT_EQ(read_file(dir / "new/dir/file.c"), "text");
}
