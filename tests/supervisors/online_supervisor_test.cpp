#include "supervisors/online_supervisor.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

using namespace std::chrono_literals;

class OnlineSupervisorTest : public testing::Test {
protected:
    OnlineSupervisorTest() {
        setenv("HOME", (root / "home").c_str(), 1);
        tracked = write_file(root / "project" / "a.txt", "one\ntwo\n");
        struct stat status {};
        ::stat(tracked.c_str(), &status);
        std::ofstream(env.datapath / "tracked")
            << status.st_ino << ';' << status.st_dev << ';' << tracked.native() << '\n';
        supervisor = std::make_unique<OnlineSupervisor>(bus, db, ibuf, env,
                                                        (root / "wardlet.sock").native());
        // The tests hand events to the handlers themselves: what the watcher sees of their file
        // changes must not reach them as well.
        bus.stop();
    }

    // Hands a file event to the tracked-file handler as the file listener would.
    void handle(std::filesystem::path const& path, FileAction action = FileActions::Modified) {
        FileEvent event;
        event.type = BaseEvent::Types::FILE_EVENT;
        event.filepath = path.native();
        event.action = action;
        event.incident_type = Incident::Types::NONE;
        supervisor->handle_trackedfile(&supervisor->file_listener(), event);
    }
    std::string tracked_rows() {
        return sql_rows(env.dbpath,
                        "SELECT incident_type, diff FROM file_events WHERE handler_type = "
                        "'TRACKEDFILE' ORDER BY id");
    }

    static std::filesystem::path prepared(TempDir const& root) {
        std::filesystem::create_directories(root / "project" / ".wardlet");
        std::filesystem::create_directories(root / "home");
        return root / "project";
    }

    TempDir root;
    Env env = detect_env(prepared(root), false);
    EventBus bus;
    EventDB db{env.dbpath.native()};
    InsertionBuffer ibuf;
    std::filesystem::path tracked;
    std::unique_ptr<OnlineSupervisor> supervisor;
};

// Only content changes of tracked files are analysed; a file that cannot be read is not compared
// and keeps its mirror, against which the difference is found once it is back.
TEST_F(OnlineSupervisorTest, OnlyReadableContentChangesOfTrackedFilesAreCompared) {
    write_file(tracked, "changed\n");
    handle(tracked, FileActions::Add);
    handle(tracked, FileActions::Delete);
    // A rename of another file into the directory reaches the directory's entry: not analysed.
    handle(root / "project" / "b.txt", FileActions::Moved);
    std::filesystem::remove(tracked);
    handle(tracked);
    EXPECT_EQ(tracked_rows(), "NONE|\nNONE|\nNONE|\nNONE|\n");
    EXPECT_EQ(ibuf.get_filecontent(tracked), "one\ntwo\n");
    write_file(tracked, "one\n");
    handle(tracked);
    EXPECT_EQ(tracked_rows(), "NONE|\nNONE|\nNONE|\nNONE|\nFAST_INSERTION|= one\n- two\n\n");
    EXPECT_EQ(ibuf.get_filecontent(tracked), "one\n");
}
