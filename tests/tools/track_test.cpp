#include "tools/track.hpp"
#include "editor/filemap.hpp"
#include "support/child_process.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

ProcessResult run_track(std::vector<std::string> args, std::optional<fs::path> cwd = {}) {
    args.insert(args.begin(), TRACK_BIN);
    return run_process(std::move(args), {.env = {}, .cwd = std::move(cwd)});
}

std::string line_for(fs::path const& file) {
    return map_line(file_id_of(file), file);
}

// Replaces `file` by a new file under the same name, as editors that save through a rename do:
// the path stays, the inode changes.
void replace_file(fs::path const& file, std::string const& content) {
    fs::path const fresh = file.string() + ".new";
    write_file(fresh, content);
    fs::rename(fresh, file);
}

}  // namespace

TEST(TrackMapLines, ReadEachLineAsTheMonitorDoes) {
    TempDir dir;
    for (std::string const text :
         {"12;34;/p/a.c", " 56; 78;/p/b c.txt;ignored", "7x;8 ;/p/crlf\r", "abc;2;/p/x", "3;;/p/x",
          "18446744073709551616;1;/p/overflow", "18446744073709551615;1;/p/max", "-1;1;/p/neg",
          "+1;2;/p/plus", "1;2", "1;2;", "1;2;;tail", ""}) {
        MapLine const line = read_map_line(text);
        EXPECT_EQ(line.text, text);
        FileMap const map = read_filemap(write_file(dir / "tracked", text + "\n")).map;
        if (line.fid) {
            ASSERT_EQ(map.size(), 1u) << text;
            EXPECT_EQ(map.begin()->first, *line.fid) << text;
            EXPECT_EQ(map.begin()->second.filepath, line.filepath) << text;
        } else {
            EXPECT_TRUE(map.empty()) << text;
            EXPECT_FALSE(line.problem.empty()) << text;
        }
    }
    EXPECT_EQ(map_text(map_lines("1;2;/a\n\nx\n3;4;/b")), "1;2;/a\n\nx\n3;4;/b\n");
}

TEST(TrackMapEdits, AddingReplacesEveryLineOfTheFileAtTheFirstAndKeepsTheRest) {
    std::vector<MapLine> lines = map_lines(
        "1;2;/p/a\n"
        "not a line\n"
        "7;7;/p/./b\n"  // the file's path with an id from before it was replaced
        "3;4;/p/other-name-of-b\n"
        "5;6;/p/c\n");
    auto const changes =
        add_to_map(lines, {{{3, 4}, "/p/b"}, {{9, 9}, "/p/new"}, {{5, 6}, "/p/c"}});
    EXPECT_EQ(map_text(lines), "1;2;/p/a\nnot a line\n3;4;/p/b\n5;6;/p/c\n9;9;/p/new\n");
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].kind, MapChange::Kind::updated);
    EXPECT_EQ(changes[0].previous_line, "7;7;/p/./b");
    EXPECT_EQ(changes[1].kind, MapChange::Kind::added);
    EXPECT_EQ(changes[1].line, "9;9;/p/new");
    EXPECT_EQ(changes[2].kind, MapChange::Kind::unchanged);
}

TEST(TrackMapEdits, TwoNamesOfOneFileKeepOneLineWithTheLastName) {
    std::vector<MapLine> lines = map_lines("1;2;/p/a\n");
    auto const changes = add_to_map(lines, {{{3, 4}, "/p/link-1"}, {{3, 4}, "/p/link-2"}});
    EXPECT_EQ(map_text(lines), "1;2;/p/a\n3;4;/p/link-2\n");
    EXPECT_EQ(changes.size(), 1u);
}

TEST(TrackMapEdits, RemovingFindsAFileByPathOrByIdAndRefusesAnUntrackedOne) {
    TempDir dir;
    fs::path const kept = write_file(dir / "kept", "k");
    fs::path const renamed = write_file(dir / "renamed", "r");
    std::string const text = line_for(kept) + "\n" + map_line(file_id_of(renamed), "/old/name") +
                             "\n" + "1;1;" + (dir / "deleted").native() + "\n";
    std::vector<MapLine> lines = map_lines(text);

    auto const by_id = remove_from_map(lines, renamed);
    ASSERT_EQ(by_id.size(), 1u);
    EXPECT_EQ(by_id[0].line, map_line(file_id_of(renamed), "/old/name"));
    auto const by_path = remove_from_map(lines, dir / "sub" / ".." / "deleted");
    ASSERT_EQ(by_path.size(), 1u);
    EXPECT_EQ(map_text(lines), line_for(kept) + "\n");

    EXPECT_THROW(remove_from_map(lines, dir / "deleted"), TrackError);
    EXPECT_EQ(map_text(lines), line_for(kept) + "\n");
}

TEST(TrackWrite, ReplacesTheFileInOneStepKeepingItsPermissions) {
    TempDir dir;
    fs::path const target = dir / "tracked";
    write_atomically(target, "first\n");
    EXPECT_EQ(read_file(target), "first\n");
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);

    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    write_atomically(target, "second\n");
    EXPECT_EQ(read_file(target), "second\n");
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    EXPECT_THROW(write_atomically(dir / "missing" / "tracked", "x"), TrackError);
}

class TrackTool : public ::testing::Test {
protected:
    fs::path file(std::string const& name, std::string const& content = "text\n") {
        fs::create_directories((project / name).parent_path());
        return write_file(project / name, content);
    }
    fs::path map() const { return project / ".wardlet" / "tracked"; }

    TempDir project;
};

TEST_F(TrackTool, PreparesAFreshProjectWithTheDatabaseAndOneLinePerFile) {
    fs::path const a = file("a.c");
    fs::path const b = file("sub/b.c");
    auto const result = run_track({".", "a.c", "./sub/../sub/b.c"}, project.path());
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map()), line_for(a) + "\n" + line_for(b) + "\n");
    EXPECT_NE(result.output.find("added     " + line_for(b)), std::string::npos);
    // The map holds the numbers the monitor gets from the file system and the editor's path form.
    FileMap const read_back = parse_filemap(map());
    ASSERT_EQ(read_back.size(), 2u);
    EXPECT_EQ(read_back.at(file_id_of(b)).filepath, b);

    // The monitor's own statements find their tables and columns.
    sqlite3* conn = nullptr;
    ASSERT_EQ(sqlite3_open_v2((project / ".wardlet" / "wardlet.sqlite3").c_str(), &conn,
                              SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    for (char const* statement :
         {"INSERT INTO file_events (type, filepath, fid, action, old_filepath, directory, diff, "
          "handler_type, incident_type, hash) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
          "INSERT INTO vscode_events (timestamp, type, filepath, fid, inserted, deleted, "
          "is_undo_redo, is_copy_paste, internal_copy, copy_buf, is_saved, hash) VALUES (?, ?, ?, "
          "?, ?, ?, ?, ?, ?, ?, ?, ?)"}) {
        sqlite3_stmt* prepared = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(conn, statement, -1, &prepared, nullptr), SQLITE_OK)
            << sqlite3_errmsg(conn);
        sqlite3_finalize(prepared);
    }
    sqlite3_close(conn);
}

TEST_F(TrackTool, KeepsTheDatabaseRowsOfAProjectAlreadyInUse) {
    fs::path const a = file("a.c");
    ASSERT_EQ(run_track({project.path(), a}).status, 0);
    fs::path const db = project / ".wardlet" / "wardlet.sqlite3";
    sqlite3* conn = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &conn), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(conn, "INSERT INTO vscode_events (type) VALUES ('kept')", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(conn);

    ASSERT_EQ(run_track({project.path(), file("b.c")}).status, 0);
    EXPECT_EQ(sql_rows(db, "SELECT type FROM vscode_events"), std::vector<SqlRow>{{"kept"}});
}

TEST_F(TrackTool, ReAddingAReplacedFileUpdatesItsLineAndLeavesHandWrittenLinesAlone) {
    fs::path const a = file("a.c");
    fs::path const b = file("b.c");
    ASSERT_EQ(run_track({project.path(), a, b}).status, 0);
    std::string const hand_written = "# kept as it is\n42;7;/elsewhere/x.c\n";
    write_file(map(), read_file(map()) + hand_written);

    std::string const old_a = line_for(a);
    replace_file(a, "new content\n");
    ASSERT_NE(line_for(a), old_a);
    auto const result = run_track({project.path(), a, b});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map()), line_for(a) + "\n" + line_for(b) + "\n" + hand_written);
    EXPECT_NE(result.output.find("updated   " + line_for(a) + "  (was " + old_a + ")"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("unchanged " + line_for(b)), std::string::npos);
}

TEST_F(TrackTool, KeepsTheLinkPathAndTakesTheIdOfTheFileBehindIt) {
    fs::path const target = file("real.c");
    fs::create_symlink(target, project / "link.c");
    ASSERT_EQ(run_track({project.path(), project / "link.c"}).status, 0);
    EXPECT_EQ(read_file(map()), map_line(file_id_of(target), project / "link.c") + "\n");
}

TEST_F(TrackTool, ARefusedCallNamesTheFilesAndWritesNothing) {
    fs::path const a = file("a.c");
    fs::create_directory(project / "dir");
    auto const fresh = run_track({project.path(), a, project / "nope.c", project / "dir"});
    EXPECT_EQ(fresh.status, 1);
    EXPECT_NE(fresh.output.find("nope.c': no such file"), std::string::npos) << fresh.output;
    EXPECT_NE(fresh.output.find("dir': not a regular file"), std::string::npos) << fresh.output;
    EXPECT_FALSE(fs::exists(project / ".wardlet"));

    ASSERT_EQ(run_track({project.path(), a}).status, 0);
    std::string const before = read_file(map());
    fs::path const semicolon = file("odd;name.c");
    auto const refused = run_track({project.path(), file("b.c"), semicolon});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("odd;name.c': a path with ';'"), std::string::npos)
        << refused.output;
    EXPECT_EQ(read_file(map()), before);

    auto const no_project = run_track({project / "missing", a});
    EXPECT_EQ(no_project.status, 1);
    EXPECT_NE(no_project.output.find("does not exist"), std::string::npos);
    EXPECT_FALSE(fs::exists(project / "missing"));
}

TEST_F(TrackTool, ListsEachLineWithTheStateOfItsFile) {
    fs::path const ok = file("ok.c");
    fs::path const gone = file("gone.c");
    fs::path const replaced = file("replaced.c");
    ASSERT_EQ(run_track({project.path(), ok, gone, replaced}).status, 0);
    std::string const gone_line = line_for(gone);
    std::string const replaced_line = line_for(replaced);
    fs::remove(gone);
    replace_file(replaced, "other");
    std::string const old_name_of_ok = map_line(file_id_of(ok), project / "old-name.c");
    write_file(map(), old_name_of_ok + "\n" + read_file(map()) + "bad line\n");

    auto const result = run_track({project.path(), "--list"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "shadowed  " + old_name_of_ok +
                                 "  (a later line has the same file id)\n" + "ok        " +
                                 line_for(ok) + "\n" + "missing   " + gone_line + "\n" +
                                 "replaced  " + replaced_line + "  (the file's id is now " +
                                 std::to_string(file_id_of(replaced).first) + ";" +
                                 std::to_string(file_id_of(replaced).second) + ")\n" +
                                 "unusable  line 5: bad line  (no file id)\n");
    EXPECT_TRUE(fs::exists(map()));
}

TEST_F(TrackTool, RemovesTrackedFilesEvenOnceDeletedAndRefusesUntrackedOnes) {
    fs::path const a = file("a.c");
    fs::path const b = file("b.c");
    fs::path const c = file("c.c");
    ASSERT_EQ(run_track({project.path(), a, b, c}).status, 0);
    fs::remove(c);
    auto const removed = run_track({project.path(), "--remove", b, c});
    ASSERT_EQ(removed.status, 0) << removed.output;
    EXPECT_EQ(read_file(map()), line_for(a) + "\n");

    auto const refused = run_track({project.path(), "--remove", a, b});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("b.c': not tracked"), std::string::npos) << refused.output;
    EXPECT_EQ(read_file(map()), line_for(a) + "\n");

    TempDir bare;
    EXPECT_EQ(run_track({bare.path(), "--remove", a}).status, 1);
    EXPECT_FALSE(fs::exists(bare / ".wardlet"));
}

TEST_F(TrackTool, BadUsageIsReportedWithStatusTwo) {
    fs::path const a = file("a.c");
    for (std::vector<std::string> const& args :
         std::vector<std::vector<std::string>>{{},
                                               {project.path()},
                                               {project.path(), "--list", a},
                                               {project.path(), "--remove"},
                                               {project.path(), "--remove", "--list", a},
                                               {project.path(), "--force", a}}) {
        auto const result = run_track(args);
        EXPECT_EQ(result.status, 2) << result.output;
        EXPECT_NE(result.output.find("usage: wardlet-track"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(project / ".wardlet"));
    auto const help = run_track({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--remove"), std::string::npos);
}
