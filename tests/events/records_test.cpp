#include "events/records.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(EventRecords, CopiesAreIndependent) {
    FileEvent original;
    original.type = BaseEvent::Types::FILE_EVENT;
    original.handler_type = "";
    FileEvent copy = original;
    copy.handler_type = FileEvent::Handlers::TRACKEDFILE;
    copy.filepath = "elsewhere";
    EXPECT_EQ(original.handler_type, "");
    EXPECT_EQ(original.filepath, "");
}

TEST(EventRecords, RenderTypeAndPathAndForFilesWatchAndAction) {
    FileEvent file;
    file.type = BaseEvent::Types::FILE_EVENT;
    file.filepath = "src/a.c";
    file.wid = 3;
    file.action = FileActions::Modified;
    EXPECT_EQ(std::string(file), "<FILE EVENT> filepath=src/a.c wid=3 action=Modified");
    file.action = 9;
    EXPECT_EQ(std::string(file), "<FILE EVENT> filepath=src/a.c wid=3 action=Unknown_FileAction");

    VSCodeEvent editor;
    editor.type = BaseEvent::Types::VSCODE_EVENT;
    editor.filepath = "b.ts";
    EXPECT_EQ(std::string(editor), "<VSCODE EVENT> filepath=b.ts");
}

TEST(EventRecords, VariantHoldsEditorEventsAsThirdAlternative) {
    VSCodeEvent editor;
    editor.type = BaseEvent::Types::VSCODE_EVENT;
    editor.change_type = "change";
    Event const event{editor};
    EXPECT_EQ(event.index(), 2u);
    EXPECT_EQ(base_of(event).type, "VSCODE EVENT");
    EXPECT_EQ(std::get<VSCodeEvent>(event).change_type, "change");
}

TEST(FileIdentity, IsInodeAndDeviceOrZeroWhenMissing) {
    TempDir dir;
    auto const file = write_file(dir / "f", "x");
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(file_id_of(file), (FileId{status.st_ino, status.st_dev}));
    EXPECT_EQ(file_id_of(dir / "missing"), (FileId{0, 0}));
}
