// The running monitor following the project: files that appear, renames, lines added to the map
// by hand, and the editor's backup folder on Linux.
#include "monitor_harness.hpp"
#include "support/unix_client.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string replay(MonitorHarness& monitor, fs::path const& file) {
    return run_process({REPORT_BIN, monitor.project().native(), "--replay", file.native()}).output;
}

std::string id_of(fs::path const& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return std::to_string(status.st_ino) + ";" + std::to_string(status.st_dev);
}

std::string quoted(fs::path const& path) {
    std::string text(1, '\'');
    text += path.native();
    text += '\'';
    return text;
}

// Waits, with the harness's bound, for the snapshot that starts the record of `file` as an added
// file; the count seen.
long long wait_for_added(MonitorHarness const& monitor, fs::path const& file) {
    return monitor.wait_for(
        "SELECT COUNT(*) FROM snapshots WHERE reason = 'added' AND filepath = " + quoted(file), 1);
}

// Waits, with the harness's bound, for the Moved row that names `file` as the new path; the count
// seen.
long long wait_for_moved(MonitorHarness const& monitor, fs::path const& file) {
    return monitor.wait_for(
        "SELECT COUNT(*) FROM file_events WHERE action = 'Moved' AND filepath = " + quoted(file),
        1);
}

// The project's patterns file holds `patterns`, and its `folders` exist.
void prepare(MonitorHarness const& monitor, std::string const& patterns,
             std::initializer_list<char const*> folders = {}) {
    write_file(monitor.project() / ".wardlet" / "patterns", patterns);
    for (char const* folder : folders) {
        fs::create_directories(monitor.project() / folder);
    }
}

// The log line of a deletion that the monitor took for the move it followed.
std::string moved_not_deleted(fs::path const& path) {
    return "[OnlineSupervisor] " + path.native() + " was moved within the project, not deleted\n";
}

}  // namespace

// Created empty, then typed into in the editor and saved: tracked from its first moment, no fast
// insertion, and the replay gives what was typed.
TEST(Follow, AFileCreatedEmptyThenTypedIntoIsTrackedWithoutFastInsertion) {
    MonitorHarness monitor;
    prepare(monitor, "src/**/*.py\n", {"src"});
    monitor.start();
    fs::create_directories(monitor.project() / "src" / "pkg");  // a folder that is new, too
    auto const file = write_file(monitor.project() / "src" / "pkg" / "helpers.py", "");
    ASSERT_EQ(wait_for_added(monitor, file), 1) << monitor.process().output();
    EXPECT_NE(read_file(monitor.filemap()).find(id_of(file) + ";" + file.native() + "\n"),
              std::string::npos);
    std::string lines;
    std::string const typed = "def f():\n    return 1\n";
    for (std::size_t i = 0; i < typed.size(); ++i) {
        lines += Change{.file = file,
                        .inserted = typed.substr(i, 1),
                        .offset = static_cast<std::int64_t>(i)}
                     .line();
    }
    monitor.send(lines);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events",
                               static_cast<long long>(typed.size())),
              static_cast<long long>(typed.size()));
    write_file(file, typed);  // the save
    monitor.send(Change{.file = file, .offset = -1, .saved = true}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events",
                               static_cast<long long>(typed.size() + 1)),
              static_cast<long long>(typed.size() + 1));
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Modified' AND "
                               "filepath = " +
                                   quoted(file),
                               1),
              1);
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE incident_type != 'NONE'"),
              "0\n");
    EXPECT_EQ(replay(monitor, file), typed);
}

// A monitor started on a project named relative to its working directory (`wardlet proj`) still
// names the files it follows by their absolute paths, as the editor does: in the map, in the rows,
// and for an untitled document's first save.
TEST(Follow, AProjectNamedRelativeToTheWorkingDirectoryIsFollowedByAbsolutePaths) {
    MonitorHarness monitor;
    prepare(monitor, "src/**/*.py\n", {"src", "lib"});
    auto const moving = monitor.add_tracked("src/moving.py", "m = 1\n");
    monitor.start_relative();
    auto const added = write_file(monitor.project() / "src" / "added.py", "");
    ASSERT_EQ(wait_for_added(monitor, added), 1) << monitor.process().output();
    // Moved where the patterns do not reach: followed through the project's own watch.
    auto const moved = monitor.project() / "lib" / "moving.py";
    fs::rename(moving, moved);
    ASSERT_EQ(wait_for_moved(monitor, moved), 1) << monitor.process().output();
    // Saved for the first time from the editor.
    auto const saved = write_file(monitor.project() / "src" / "untitled.py", "u = 1\n");
    monitor.send(
        Change{.file = saved, .inserted = "u = 1\n", .offset = 0, .first_save = true}.line());
    ASSERT_EQ(
        monitor.wait_for("SELECT COUNT(*) FROM vscode_events WHERE filepath = " + quoted(saved), 1),
        1);
    std::string const map = read_file(monitor.filemap());
    for (auto const& file : {added, moved, saved}) {
        EXPECT_NE(map.find(id_of(file) + ";" + file.native() + "\n"), std::string::npos) << map;
    }
    monitor.send(Change{.file = moved, .inserted = "n = 2\n", .offset = 6}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    EXPECT_EQ(replay(monitor, moved), "m = 1\nn = 2\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE incident_type != 'NONE'"), "0\n")
        << monitor.rows("SELECT filepath, incident_type FROM file_events");
}

// Copied in with content that never came through the editor: a fast insertion from empty.
TEST(Follow, AFileCopiedInWithContentIsAFastInsertionFromEmpty) {
    MonitorHarness monitor;
    prepare(monitor, "*.c\n");
    monitor.start();
    std::string const content = "int main() {\n    return 0;\n}\n";
    auto const file = write_file(monitor.project() / "copied.c", content);
    std::string const row =
        " FROM file_events WHERE incident_type != 'NONE' AND filepath = " + quoted(file);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + row, 1), 1) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT action, handler_type, diff" + row),
              "Add|TRACKEDFILE|+ int main() {\n+     return 0;\n+ }\n\n");
    EXPECT_EQ(monitor.rows("SELECT reason, length(content) FROM snapshots WHERE filepath = " +
                           quoted(file) + " ORDER BY id"),
              "added|0\nfast_insertion|" + std::to_string(content.size()) + "\n");
    EXPECT_EQ(replay(monitor, file), content);
}

// Moved to a folder the patterns do not reach, as `git mv src/a.py lib/` does: still the tracked
// file, under its new name, and typing there is tracked.
TEST(Follow, ATrackedFileMovedWhereThePatternsDoNotReachStaysTracked) {
    MonitorHarness monitor;
    prepare(monitor, "src/**/*.py\n", {"src", "lib"});
    auto const old_path = monitor.add_tracked("src/a.py", "x = 1\n");
    monitor.start();
    std::string const fid = id_of(old_path);
    auto const moved_path = monitor.project() / "lib" / "a.py";
    fs::rename(old_path, moved_path);
    std::string const moved =
        " FROM file_events WHERE action = 'Moved' AND handler_type = "
        "'TRACKEDFILE'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + moved, 1), 1) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT filepath, old_filepath" + moved),
              moved_path.native() + "|" + old_path.native() + "\n");
    EXPECT_EQ(read_file(monitor.filemap()), fid + ";" + moved_path.native() + "\n");
    monitor.send(Change{.file = moved_path, .inserted = "y = 2\n", .offset = 6}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(replay(monitor, moved_path), "x = 1\ny = 2\n");
    // A file there that is no tracked file is not tracked. The follower reports in order: once
    // a file written after it is tracked, it has been judged.
    write_file(monitor.project() / "lib" / "b.py", "z = 3\n");
    auto const later = write_file(monitor.project() / "src" / "c.py", "");
    ASSERT_EQ(wait_for_added(monitor, later), 1);
    EXPECT_EQ(read_file(monitor.filemap()).find("b.py"), std::string::npos);
    // The move reached the watch of the old folder as a deletion: no Delete row stands for it.
    ASSERT_TRUE(monitor.process().wait_for_output(moved_not_deleted(old_path), 10s))
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE action = 'Delete'"), "0\n");
    fs::remove(moved_path);  // deleted indeed
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Delete' AND "
                               "filepath = " +
                                   quoted(moved_path),
                               1),
              1);
}

// A folder of tracked files deleted: a Delete row for each file, and for the folder, which the
// watch of its parent reports; none of them is taken for a move.
TEST(Follow, AFolderOfTrackedFilesDeletedLeavesADeleteRowForEachFileAndTheFolder) {
    MonitorHarness monitor;
    prepare(monitor, "src/**/*.py\n");
    fs::create_directories(monitor.project() / "src" / "pkg");
    monitor.add_tracked("src/a.py", "a = 1\n");
    auto const inner = monitor.add_tracked("src/pkg/f.py", "f = 1\n");
    monitor.start();
    fs::remove_all(monitor.project() / "src" / "pkg");
    std::string const deleted =
        " FROM file_events WHERE action = 'Delete' AND handler_type = 'TRACKEDFILE'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + deleted, 2), 2) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT filepath" + deleted + " ORDER BY filepath"),
              (monitor.project() / "src" / "pkg").native() + "\n" + inner.native() + "\n");
}

// Moved between folders while an editor is connected: the move waits for the editor's report, and
// the deletion its old folder's watch saw is no Delete row either.
TEST(Follow, ATrackedFileMovedBetweenFoldersWhileAnEditorIsConnectedLeavesNoDeletion) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n", {"src", "lib"});
    auto const old_path = monitor.add_tracked("src/a.py", "x = 1\n");
    monitor.start();
    UnixClient editor(monitor.socket());
    auto const moved_path = monitor.project() / "lib" / "a.py";
    fs::rename(old_path, moved_path);
    ASSERT_TRUE(monitor.process().wait_for_output(moved_not_deleted(old_path), 10s))
        << monitor.process().output();
    // No report comes: the move is recorded when its wait ends.
    ASSERT_EQ(wait_for_moved(monitor, moved_path), 1) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE action = 'Delete'"), "0\n");
}

// Renamed again before the editor's wait for its first rename ended (by a checkout, a script), in
// one folder or between folders: the file stays tracked under its last name, its Moved rows lead
// there from its first name (through the name between when the follower saw it), and the name it
// passed through gets neither a Delete row nor an empty file made by the monitor.
TEST(Follow, ATrackedFileRenamedTwiceWhileAnEditorIsConnectedEndsTrackedUnderItsLastName) {
    MonitorHarness monitor;
    prepare(monitor, "src/*.py\n", {"src", "lib", "lib2"});
    struct Renames {
        fs::path from, via, to;
    };
    std::vector<Renames> const files{
        {monitor.add_tracked("src/a.py", "x = 1\n"), monitor.project() / "lib" / "a.py",
         monitor.project() / "lib2" / "a.py"},
        {monitor.add_tracked("src/b.py", "y = 2\n"), monitor.project() / "src" / "b2.py",
         monitor.project() / "src" / "b3.py"}};
    std::string expected_map;
    for (Renames const& file : files) {
        expected_map += id_of(file.from) + ";" + file.to.native() + "\n";
    }
    monitor.start();
    UnixClient editor(monitor.socket());
    for (Renames const& file : files) {
        fs::rename(file.from, file.via);
        fs::rename(file.via, file.to);
    }
    for (Renames const& file : files) {
        ASSERT_EQ(wait_for_moved(monitor, file.to), 1) << monitor.process().output();
        // The follower's rows, which name the old path whole (the watch of a tracked file's
        // folder may report a rename there too, by the old name alone).
        std::string const moves = monitor.rows(
            "SELECT old_filepath || ' > ' || filepath FROM file_events WHERE action = 'Moved' "
            "AND old_filepath LIKE '/%' AND filepath IN (" +
            quoted(file.via) + ", " + quoted(file.to) + ") ORDER BY id");
        std::string const at_once = file.from.native() + " > " + file.to.native() + "\n";
        std::string const in_turn = file.from.native() + " > " + file.via.native() + "\n" +
                                    file.via.native() + " > " + file.to.native() + "\n";
        EXPECT_TRUE(moves == at_once || moves == in_turn) << moves;
        EXPECT_FALSE(fs::exists(file.via));
    }
    EXPECT_EQ(read_file(monitor.filemap()), expected_map);
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE action = 'Delete'"), "0\n");
}

// Renamed within the project, in its folder and to another one: the same file under its new name.
TEST(Follow, ATrackedFileRenamedKeepsItsIdentityAndIsTrackedUnderItsNewName) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    auto const old_path = monitor.add_tracked("a.py", "x = 1\n");
    fs::create_directories(monitor.project() / "lib");
    monitor.start();
    std::string const fid = id_of(old_path);
    auto const renamed = monitor.project() / "b.py";
    fs::rename(old_path, renamed);
    std::string const moved =
        " FROM file_events WHERE action = 'Moved' AND handler_type = "
        "'TRACKEDFILE'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + moved, 1), 1) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT filepath, old_filepath" + moved),
              renamed.native() + "|" + old_path.native() + "\n");
    auto const elsewhere = monitor.project() / "lib" / "c.py";
    fs::rename(renamed, elsewhere);  // another folder: another watch of the tree
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + moved, 2), 2) << monitor.process().output();
    EXPECT_EQ(read_file(monitor.filemap()), fid + ";" + elsewhere.native() + "\n");
    monitor.send(Change{.file = elsewhere, .inserted = "y = 2\n", .offset = 6}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(replay(monitor, elsewhere), "x = 1\ny = 2\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE incident_type != 'NONE'"),
              "0\n");
}

// A folder renamed within the project: every tracked file below it, at any depth, moves with it
// and is followed under its new name, on the disk and from the editor.
// Once with a path listed in the map with a doubled separator, which the monitor must compare as
// a path, not as a text.
class RenamedFolder : public testing::TestWithParam<bool> {};

TEST_P(RenamedFolder, TheTrackedFilesOfARenamedFolderMoveWithIt) {
    MonitorHarness monitor;
    fs::create_directories(monitor.project() / "pkg" / "sub");
    auto const top = monitor.add_tracked("pkg/a.py", "a = 1\n");
    auto const deep = monitor.add_tracked("pkg/sub/b.py", "b = 2\n");
    auto const outside =
        monitor.add_tracked("pkg2.py", "c = 3\n");  // a name that only begins alike
    fs::path listed_deep = deep;
    if (GetParam()) {
        listed_deep = monitor.project().native() + "//pkg/sub/b.py";
        std::string map = read_file(monitor.filemap());
        map.replace(map.find(deep.native()), deep.native().size(), listed_deep.native());
        write_file(monitor.filemap(), map);
    }
    monitor.start();
    std::string const top_id = id_of(top);
    std::string const deep_id = id_of(deep);
    fs::rename(monitor.project() / "pkg", monitor.project() / "lib");
    auto const new_top = monitor.project() / "lib" / "a.py";
    auto const new_deep = monitor.project() / "lib" / "sub" / "b.py";
    std::string const moved =
        " FROM file_events WHERE action = 'Moved' AND handler_type = "
        "'TRACKEDFILE' AND old_filepath IS NOT NULL AND old_filepath != ''";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + moved, 2), 2)
        << monitor.rows("SELECT filepath, old_filepath" + moved) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT filepath, old_filepath" + moved + " ORDER BY filepath"),
              new_top.native() + "|" + top.native() + "\n" + new_deep.native() + "|" +
                  listed_deep.native() + "\n");
    std::string const map = read_file(monitor.filemap());
    EXPECT_NE(map.find(top_id + ";" + new_top.native() + "\n"), std::string::npos) << map;
    EXPECT_NE(map.find(deep_id + ";" + new_deep.native() + "\n"), std::string::npos) << map;
    EXPECT_NE(map.find(";" + outside.native() + "\n"), std::string::npos) << map;
    EXPECT_EQ(map.find(top.native()), std::string::npos) << map;

    monitor.send(Change{.file = new_deep, .inserted = "d = 4\n", .offset = 6}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(replay(monitor, new_deep), "b = 2\nd = 4\n");
    EXPECT_EQ(replay(monitor, new_top), "a = 1\n");
    write_file(new_top, "a = 1\npasted = True\n");  // watched under its new name
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE incident_type = "
                               "'FAST_INSERTION' AND filepath = " +
                                   quoted(new_top),
                               1),
              1)
        << monitor.process().output();
}

INSTANTIATE_TEST_SUITE_P(Follow, RenamedFolder, testing::Bool(),
                         [](testing::TestParamInfo<bool> const& info) {
                             return info.param ? "ADoubledSeparator" : "PlainPaths";
                         });

// A folder of many files moved into the project at once, as an unpacked archive: every file is
// tracked as a new one, and the map takes them all in one write, not one write per file.
TEST(Follow, AFolderOfManyFilesMovedInIsTrackedWithOneWriteOfTheMap) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    TempDir outside;
    fs::create_directories(outside / "unpacked" / "pkg");
    constexpr int kFiles = 200;
    for (int i = 0; i < kFiles; ++i) {
        write_file(outside / "unpacked" / "pkg" / ("m" + std::to_string(i) + ".py"),
                   "x = " + std::to_string(i) + "\n");
    }
    monitor.start();
    fs::rename(outside / "unpacked", monitor.project() / "unpacked");
    std::string const fast = " FROM file_events WHERE incident_type = 'FAST_INSERTION'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + fast, kFiles), kFiles)
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT COUNT(DISTINCT filepath), MIN(diff LIKE '+ x = %')" + fast),
              std::to_string(kFiles) + "|1\n");
    EXPECT_EQ(
        monitor.rows("SELECT reason, COUNT(*) FROM snapshots GROUP BY reason ORDER BY "
                     "reason"),
        "added|" + std::to_string(kFiles) + "\nfast_insertion|" + std::to_string(kFiles) + "\n");
    std::string const map = read_file(monitor.filemap());
    EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), kFiles);
    fs::path const map_row = monitor.project() / ".wardlet" / "tracked";
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE handler_type = "
                           "'PROJ_TRACKEDPATH' AND filepath = " +
                           quoted(map_row)),
              "1\n");
    auto const last = monitor.project() / "unpacked" / "pkg" / "m199.py";
    EXPECT_EQ(replay(monitor, last), "x = 199\n");
}

// Two names of one file arriving together (hard links in a folder moved in): the map holds one
// line for the file, under whichever name came first, and the file is added once.
TEST(Follow, TwoNamesOfOneFileArrivingTogetherAreTrackedOnce) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    TempDir outside;
    fs::create_directories(outside / "unpacked");
    write_file(outside / "unpacked" / "a.py", "a = 1\n");
    fs::create_hard_link(outside / "unpacked" / "a.py", outside / "unpacked" / "b.py");
    write_file(outside / "unpacked" / "c.py", "c = 1\n");
    monitor.start();
    fs::rename(outside / "unpacked", monitor.project() / "unpacked");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots WHERE reason = 'fast_insertion'", 2),
              2)
        << monitor.process().output();
    std::string const map = read_file(monitor.filemap());
    std::string const linked = id_of(monitor.project() / "unpacked" / "a.py") + ";";
    EXPECT_EQ(map.find(linked), map.rfind(linked)) << map;
    EXPECT_NE(map.find(linked), std::string::npos) << map;
    EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), 2) << map;
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM snapshots WHERE reason = 'added'"), "2\n");
}

// A tracked file deleted and written anew, as a checkout does: the new file (a new inode) is the
// tracked file's new content, one fast insertion under its one map line, not a second file.
TEST(Follow, ATrackedFileWrittenAnewAtItsPathStaysOneFile) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    auto const file = monitor.add_tracked("a.py", "x = 1\n");
    monitor.start();
    TempDir outside;
    fs::create_hard_link(file, outside / "old");  // its inode stays taken
    fs::remove(file);
    write_file(file, "x = 2\n");
    std::string const fast =
        " FROM file_events WHERE incident_type = 'FAST_INSERTION' AND filepath = " + quoted(file);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + fast, 1), 1) << monitor.process().output();
    // Reported after the new a.py: once this is tracked, a.py's appearance has been judged.
    auto const later = write_file(monitor.project() / "b.py", "");
    ASSERT_EQ(wait_for_added(monitor, later), 1);
    EXPECT_EQ(monitor.rows("SELECT COUNT(*)" + fast), "1\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM snapshots WHERE reason = 'added' AND filepath = " +
                           quoted(file)),
              "0\n");
    std::string const map = read_file(monitor.filemap());
    EXPECT_EQ(map.find(file.native()), map.rfind(file.native())) << map;
    EXPECT_EQ(replay(monitor, file), "x = 2\n");
}

// A tracked file's folder deleted and written anew, as a checkout of a branch without it and back
// does: the file is watched again, and what was written while its folder was gone is judged.
TEST(Follow, ATrackedFileWhoseFolderWasDeletedAndWrittenAnewIsWatchedAgain) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n", {"pkg"});
    auto const file = monitor.add_tracked("pkg/a.py", "x = 1\n");
    monitor.start();
    fs::remove_all(monitor.project() / "pkg");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Delete'", 1), 1)
        << monitor.process().output();
    fs::create_directories(monitor.project() / "pkg");
    write_file(file, "x = 2\n");
    std::string const fast =
        "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION' AND filepath = " +
        quoted(file) + " AND diff LIKE ";
    ASSERT_EQ(monitor.wait_for(fast + "'%+ x = 2%'", 1), 1) << monitor.process().output();
    write_file(file, "x = 3\n");
    ASSERT_EQ(monitor.wait_for(fast + "'%+ x = 3%'", 1), 1) << monitor.process().output();
    EXPECT_EQ(replay(monitor, file), "x = 3\n");
    // Again, the file now saved as editors save: written aside, then renamed over its name.
    fs::remove_all(monitor.project() / "pkg");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Delete'", 2), 2);
    fs::create_directories(monitor.project() / "pkg");
    write_file(monitor.project() / "pkg" / ".a.py.swp", "x = 4\n");
    fs::rename(monitor.project() / "pkg" / ".a.py.swp", file);
    ASSERT_EQ(monitor.wait_for(fast + "'%+ x = 4%'", 1), 1) << monitor.process().output();
    write_file(file, "x = 5\n");
    ASSERT_EQ(monitor.wait_for(fast + "'%+ x = 5%'", 1), 1) << monitor.process().output();
    std::string const map = read_file(monitor.filemap());
    EXPECT_EQ(map.find(file.native()), map.rfind(file.native())) << map;
}

// A .gitignore in a folder keeps what it ignores below that folder out of tracking, there only;
// one that appears with a new folder counts for the files created in it.
TEST(Follow, NestedGitignoreFilesAreHonouredBelowTheirFolders) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n", {"sub"});
    write_file(monitor.project() / "sub" / ".gitignore", "generated/\nscratch.py\n");
    fs::create_directories(monitor.project() / "other");
    monitor.start();
    fs::create_directories(monitor.project() / "sub" / "generated");
    write_file(monitor.project() / "sub" / "generated" / "x.py", "");
    write_file(monitor.project() / "sub" / "scratch.py", "");
    fs::create_directories(monitor.project() / "live");
    write_file(monitor.project() / "live" / ".gitignore", "*.py\n!kept.py\n");
    write_file(monitor.project() / "live" / "dropped.py", "");
    // Written last: once these are tracked, the ones before them have been looked at.
    auto const real = write_file(monitor.project() / "sub" / "real.py", "");
    auto const elsewhere = write_file(monitor.project() / "other" / "scratch.py", "");
    auto const kept = write_file(monitor.project() / "live" / "kept.py", "");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots WHERE reason = 'added'", 3), 3)
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT filepath FROM snapshots WHERE reason = 'added' ORDER BY "
                           "filepath"),
              kept.native() + "\n" + elsewhere.native() + "\n" + real.native() + "\n");
    std::string const map = read_file(monitor.filemap());
    EXPECT_EQ(map.find("generated"), std::string::npos) << map;
    EXPECT_EQ(map.find("dropped"), std::string::npos) << map;
}

// File names are the project's, whoever wrote them. One that no map line can hold (a ';' ends a
// line's path, a line feed the line) is not followed, so it can never be read back as another
// file's name, nor be made to write lines of its own into the map; a tracked file renamed to one
// is no longer followed, without a row saying it was deleted, and is followed again from its old
// name once renamed to one the map can hold. Any name reaches the log only escaped.
TEST(Follow, AFileNameTheMapCannotHoldIsNotFollowedAndNoNameBreaksTheLog) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    auto const kept = monitor.add_tracked("kept.py", "k = 1\n");
    std::string const kept_id = id_of(kept);
    monitor.start();
    auto const feed = write_file(monitor.project() / "a\n7;7;b.py", "a = 1\n");
    auto const semicolon = write_file(monitor.project() / "c;d.py", "c = 1\n");
    auto const escape = write_file(monitor.project() / "\x1b[2Jowned\x07.py", "e = 1\n");
    for (std::string const name : {"a\\x0a7;7;b.py", "c;d.py"}) {
        ASSERT_TRUE(monitor.process().wait_for_output(
            (monitor.project() / name).native() +
                " not tracked: the file map cannot hold a path with ';' or a line feed\n",
            10s))
            << monitor.process().output();
    }
    auto const renamed = monitor.project() / "ke;pt.py";
    fs::rename(kept, renamed);
    ASSERT_TRUE(monitor.process().wait_for_output(
        kept.native() + " moved to " + renamed.native() +
            ": the file map cannot hold a path with ';' or a line feed; no longer followed\n",
        10s))
        << monitor.process().output();
    auto const back = monitor.project() / "kept_again.py";
    fs::rename(renamed, back);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Moved' AND "
                               "filepath = " +
                                   quoted(back) + " AND old_filepath = " + quoted(kept),
                               1),
              1)
        << monitor.process().output();
    ASSERT_EQ(wait_for_added(monitor, escape), 1) << monitor.process().output();
    std::string const map = read_file(monitor.filemap());
    EXPECT_NE(map.find(kept_id + ";" + back.native() + "\n"), std::string::npos) << map;
    EXPECT_NE(map.find(id_of(escape) + ";" + escape.native() + "\n"), std::string::npos) << map;
    EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), 2) << map;
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE action = 'Delete'"), "0\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM snapshots WHERE filepath IN (" + quoted(feed) +
                           ", " + quoted(semicolon) + ", " + quoted(renamed) + ")"),
              "0\n");

    EXPECT_EQ(monitor.stop(SIGTERM), 0);
    std::string const log = monitor.process().output();
    EXPECT_NE(log.find("tracking " + (monitor.project() / "\\x1b[2Jowned\\x07.py").native()),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\x07'), std::string::npos);
    EXPECT_EQ(log.find("\n7;7;b.py"), std::string::npos);
}

// A file too large for the monitor to hold (a sparse file of a hundred gigabytes takes an instant
// to make) is not read, whether tracked at the start or appearing later, and the monitor goes on
// recording.
TEST(Follow, AFileTooLargeToReadIsNotReadAndTheMonitorGoesOn) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    constexpr std::uintmax_t kHuge = std::uintmax_t{100} << 30;
    auto const tracked = monitor.add_tracked("huge.py", "");
    fs::resize_file(tracked, kHuge);
    monitor.start();
    auto const appeared = write_file(monitor.project() / "appeared.py", "");
    fs::resize_file(appeared, kHuge);
    for (auto const& file : {tracked, appeared}) {
        ASSERT_TRUE(monitor.process().wait_for_output(
            file.native() + " holds more than 67108864 bytes: not read\n", 10s))
            << monitor.process().output();
    }
    auto const later = write_file(monitor.project() / "later.py", "");
    ASSERT_EQ(wait_for_added(monitor, later), 1) << monitor.process().output();
    monitor.send(Change{.file = later, .inserted = "x = 1\n", .offset = 0}.line());
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(monitor.stop(SIGTERM), 0);
}

// A line added to the map by hand while the monitor runs: loaded, snapshotted and mirrored.
TEST(Follow, AMapLineAddedByHandIsPickedUpLive) {
    MonitorHarness monitor;
    monitor.start();
    auto const file = monitor.add_tracked("notes.txt", "hello\n");
    ASSERT_EQ(wait_for_added(monitor, file), 1) << monitor.process().output();
    monitor.send(Change{.file = file, .inserted = "world\n", .offset = 6}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(replay(monitor, file), "hello\nworld\n");
}

// Lines added by the tracking tool while the monitor adds its own: a write of the monitor's may
// carry the tool's line before the monitor has read the tool's write, and it is picked up all the
// same.
TEST(Follow, MapLinesAddedAsTheMonitorWritesTheMapArePickedUp) {
    MonitorHarness monitor;
    prepare(monitor, "*.py\n");
    monitor.start();
    constexpr int kRounds = 5;
    int created = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto const notes =
            write_file(monitor.project() / ("notes" + std::to_string(round) + ".txt"), "by hand\n");
        ChildProcess track({TRACK_BIN, monitor.project().native(), notes.native()},
                           {.env = {{"HOME", monitor.home().native()}}, .cwd = std::nullopt});
        // New files all through the tool's run, so the monitor writes the map around its write.
        for (int made = 0; made < 300 && !track.wait(std::chrono::milliseconds(0)); ++made) {
            write_file(monitor.project() / ("new" + std::to_string(created++) + ".py"), "");
        }
        ASSERT_EQ(track.wait(std::chrono::seconds(10)), 0) << track.output();
    }
    std::string const added = "SELECT COUNT(*) FROM snapshots WHERE reason = 'added' AND filepath ";
    EXPECT_EQ(monitor.wait_for(added + "LIKE '%.txt'", kRounds), kRounds)
        << monitor.process().output();
    EXPECT_EQ(monitor.wait_for(added + "LIKE '%.py'", created), created);
}

// The editor's backup folder on Linux, and the one named by XDG_CONFIG_HOME, as on a Mac.
TEST(Follow, TheLinuxBackupFoldersAreWatchedWithTheSameRows) {
    MonitorHarness monitor;
    auto const linux_backups = monitor.home() / ".config" / "Code" / "Backups";
    fs::create_directories(linux_backups);
    monitor.start();
    EXPECT_TRUE(monitor.process().wait_for_output(
        "[FileListener] watching directory " + linux_backups.native() + " (recursive=true)", 1s));
    EXPECT_TRUE(monitor.process().wait_for_output(
        "[FileListener] watching directory " +
            (monitor.home() / "Library" / "Application Support" / "Code" / "Backups").native(),
        1s));
    write_file(linux_backups / "1234567", "prefix:/not/tracked\ncontent");
    std::string const added = " FROM file_events WHERE filepath LIKE '%1234567' AND action = 'Add'";
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*)" + added, 2), 2);
    EXPECT_EQ(monitor.rows("SELECT handler_type" + added + " ORDER BY id"),
              "\nVSCODE_BACKUPPATH\n");
}
