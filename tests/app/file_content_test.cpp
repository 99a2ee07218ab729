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

TEST(FileContent, AProjectFileThatLinksOutsideTheProjectIsNotRead) {
    TempDir root;
    auto const project = root / "project";
    std::filesystem::create_directories(project / "src");
    auto const secret = write_file(root / "id_key", "private\n");
    auto const inside = write_file(project / "src" / "real.c", "int a;\n");
    std::filesystem::create_symlink(inside, project / "alias.c");
    std::filesystem::create_symlink(secret, project / "notes.txt");
    std::filesystem::create_symlink("../src/real.c", project / "src" / "relative.c");
    std::filesystem::create_symlink(project / "gone.c", project / "dangling.c");

    EXPECT_EQ(read_project_file(inside, project), "int a;\n");
    EXPECT_EQ(read_project_file(project / "alias.c", project), "int a;\n");
    EXPECT_EQ(read_project_file(project / "src" / "relative.c", project), "int a;\n");
    EXPECT_EQ(read_project_file(project / "notes.txt", project), std::nullopt);
    EXPECT_EQ(read_project_file(project / "dangling.c", project), std::nullopt);
    // A link to the project itself is no file inside it.
    std::filesystem::create_symlink(project, project / "self");
    EXPECT_TRUE(links_outside(project / "self", project));
    EXPECT_FALSE(links_outside(inside, project));
}
