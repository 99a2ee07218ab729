#include "tools/track.hpp"
#include "editor/filemap.hpp"
#include "support/child_process.hpp"
#include "support/sql_rows.hpp"
#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string line_for(fs::path const& file) {
    return map_line(file_id_of(file), file);
}

// Replaces `file` by a new file under the same name, as editors that save through a rename do:
// the path stays, the inode changes.
void replace_file(fs::path const& file, std::string const& content) {
    write_file(file.string() + ".new", content);
    fs::rename(file.string() + ".new", file);
}

// What a descriptor opened earlier reads now.
std::string read_fd(int fd) {
    char chunk[4096];
    ssize_t const count = ::pread(fd, chunk, sizeof chunk, 0);
    return std::string(chunk, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
}

}  // namespace

TEST(TrackMap, AddingReplacesEveryLineOfTheFileAtTheFirstAndKeepsTheRest) {
    // Lines of the file by id or by path go; two names of one file keep one line, the last name.
    std::vector<MapLine> lines =
        map_lines("1;2;/p/a\nnot a line\n7;7;/p/./b\n3;4;/p/b2\n5;6;/p/c\n");
    add_to_map(lines,
               {{{3, 4}, "/p/b"}, {{9, 9}, "/p/new"}, {{5, 6}, "/p/c"}, {{9, 9}, "/p/new2"}});
    EXPECT_EQ(map_text(lines), "1;2;/p/a\nnot a line\n3;4;/p/b\n5;6;/p/c\n9;9;/p/new2\n");
}

// The monitor reads the map for every change message: a reader that opened it before a write
// keeps the whole old map, never half of a new one. A new map is its owner's alone; a map keeps
// the permissions it has.
TEST(TrackMap, WriteReplacesTheFileInOneStepKeepingItsPermissions) {
    TempDir dir;
    fs::path const target = dir / "tracked";
    write_atomically(target, "first\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
    fs::permissions(target, fs::perms(0640));
    int const reader = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    write_atomically(target, "second\n");
    EXPECT_EQ(read_fd(reader), "first\n");
    ::close(reader);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    EXPECT_EQ(read_file(target), "second\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    EXPECT_THROW(write_atomically(dir / "missing" / "tracked", "x"), TrackError);
}

class TrackTool : public ::testing::Test {
protected:
    ProcessResult track(std::vector<std::string> args, std::optional<fs::path> cwd = {}) {
        args.insert(args.begin(), TRACK_BIN);
        return run_process(std::move(args), {.env = {}, .cwd = std::move(cwd)});
    }
    fs::path file(std::string const& name, std::string const& content = "text\n") {
        fs::create_directories((project / name).parent_path());
        return write_file(project / name, content);
    }

    TempDir project;
    fs::path const map = project / ".wardlet" / "tracked";
    fs::path const db = project / ".wardlet" / "wardlet.sqlite3";
};

TEST_F(TrackTool, PreparesAProjectThenUpdatesReplacedFilesAndListsTheirStates) {
    fs::path const a = file("a.c"), b = file("sub/b.c"), gone = file("gone.c");
    fs::create_symlink(file("real.c"), project / "link.c");
    auto result = track({".", "a.c", "./sub/../sub/b.c", "gone.c", "link.c"}, project.path());
    ASSERT_EQ(result.status, 0) << result.output;
    // The editor's path form, symbolic links kept, with the id of the file behind the link.
    std::string const link_line = map_line(file_id_of(project / "real.c"), project / "link.c");
    std::string const gone_line = line_for(gone), old_a = line_for(a);
    EXPECT_EQ(read_file(map),
              old_a + "\n" + line_for(b) + "\n" + gone_line + "\n" + link_line + "\n");
    EXPECT_TRUE(has(result.output, "added     " + line_for(b))) << result.output;
    EXPECT_EQ(parse_filemap(map).at(file_id_of(b)).filepath, b);
    // Rows already stored and hand-written lines survive a later call, which replaces the map.
    EXPECT_EQ(SqlReader(db)("INSERT INTO vscode_events (type) VALUES ('kept')"), "");
    std::string const hand_written = "# kept as it is\n42;7;/elsewhere/x.c\n";
    write_file(map, read_file(map) + hand_written);
    std::string const before = read_file(map);
    int const reader = ::open(map.c_str(), O_RDONLY | O_CLOEXEC);
    replace_file(a, "new content\n");
    result = track({project.path(), a, b});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_fd(reader), before);
    ::close(reader);
    EXPECT_EQ(read_file(map), line_for(a) + "\n" + line_for(b) + "\n" + gone_line + "\n" +
                                  link_line + "\n" + hand_written);
    EXPECT_TRUE(has(result.output, "updated   " + line_for(a) + "  (was " + old_a + ")"));
    EXPECT_TRUE(has(result.output, "unchanged " + line_for(b)));
    EXPECT_EQ(sql_rows(db, "SELECT type FROM vscode_events"), "kept\n");

    std::string const b_line = line_for(b);
    replace_file(b, "other");
    fs::remove(gone);  // after the replacement, which could otherwise reuse its inode
    std::string const old_name_of_a = map_line(file_id_of(a), project / "old-name.c");
    write_file(map, old_name_of_a + "\n" + line_for(a) + "\n" + b_line + "\n" + gone_line +
                        "\nbad line\n5;6;/etc/passwd\n");
    result = track({project.path(), "--list"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "shadowed  " + old_name_of_a +
                                 "  (a later line has the same file id)\n" + "ok        " +
                                 line_for(a) + "\n" + "replaced  " + b_line +
                                 "  (the file's id is now " + std::to_string(file_id_of(b).first) +
                                 ";" + std::to_string(file_id_of(b).second) + ")\n" + "missing   " +
                                 gone_line + "\n" + "unusable  line 5: bad line  (no file id)\n" +
                                 "unusable  line 6: 5;6;/etc/passwd  (outside the project)\n");
    // Removal finds a file by its id while it exists, and by its path even once deleted.
    result = track({project.path(), "--remove", a, b, gone});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map), "bad line\n5;6;/etc/passwd\n");
}

TEST_F(TrackTool, ARefusedCallSaysWhyAndWritesNothing) {
    fs::path const a = file("a.c"), semicolon = file("odd;name.c");
    fs::create_directory(project / "dir");
    TempDir elsewhere;
    fs::create_symlink(write_file(elsewhere / "key", "private"), project / "key.c");
    fs::create_directory_symlink(elsewhere.path(), project / "docs");
    std::string const usage = "usage: wardlet-track";
    for (auto const& [args, status, reason] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{project.path(), a, project / "nope.c", project / "dir"}, 1, "nope.c': no such file"},
             {{project.path(), project / "dir"}, 1, "dir': not a regular file"},
             {{project.path(), "key.c"}, 1, "key.c': a symbolic link leading outside the project"},
             {{project.path(), elsewhere / "key"}, 1, "key': outside the project"},
             {{project.path(), "docs/key"}, 1, "key': a symbolic link leading outside the project"},
             {{project.path(), project / ".." / elsewhere.path().filename() / "key"},
              1,
              "key': outside the project"},
             {{}, 2, usage},
             {{project.path()}, 2, usage},
             {{project.path(), "--list", a}, 2, usage},
             {{project.path(), "--remove"}, 2, usage},
             {{project.path(), "--remove", "--list", a}, 2, usage},
             {{project.path(), "--force", a}, 2, usage},
             {{project.path(), "--remove", a}, 1, ""}}) {
        auto const result = track(args);
        EXPECT_EQ(result.status, status) << result.output;
        EXPECT_TRUE(has(result.output, reason)) << result.output;
        EXPECT_FALSE(fs::exists(project / ".wardlet"));
    }
    ASSERT_EQ(track({project.path(), a}).status, 0);
    std::string const before = read_file(map);
    for (auto const& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{project.path(), file("b.c"), semicolon}, "odd;name.c': a path with ';'"},
             {{project.path(), "--remove", a, project / "b.c"}, "b.c': not tracked"},
             {{project / "missing", a}, "does not exist"}}) {
        auto const refused = track(args);
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(has(refused.output, reason)) << refused.output;
    }
    EXPECT_EQ(read_file(map), before);
    EXPECT_FALSE(fs::exists(project / "missing"));
}

TEST(TrackPatterns, GlobsMatchAsGitignoreDoesTheLastMatchingOneDeciding) {
    struct Case {
        std::vector<std::string> patterns;
        std::string path;
        bool matched;
    };
    for (auto const& [patterns, path, matched] : std::vector<Case>{
             {{"*.c"}, "main.c", true},
             {{"*.c"}, "src/deep/util.c", true},  // no "/": any depth
             {{"*.c"}, "main.cc", false},
             {{"src/*.py"}, "src/a.py", true},
             {{"src/*.py"}, "src/sub/a.py", false},  // "*" stays within a segment
             {{"src/*.py"}, "lib/src/a.py", false},  // an inner "/" anchors
             {{"src/**/*.py"}, "src/a.py", true},    // "**" matches no folder too
             {{"src/**/*.py"}, "src/x/y/a.py", true},
             {{"/main.c"}, "main.c", true},
             {{"/main.c"}, "sub/main.c", false},
             {{"docs"}, "docs/guide/intro.md", true},  // a folder's files
             {{"docs/"}, "docs/intro.md", true},
             {{"docs/"}, "docs", false},  // a final "/" matches folders only
             {{"src/**"}, "src/a/b.txt", true},
             {{"?.[ch]"}, "x.h", true},
             {{"?.[ch]"}, "xy.h", false},
             {{"\\#notes.txt"}, "#notes.txt", true},
             {{"*.py", "!tests/**"}, "tests/t.py", false},
             {{"*.py", "!tests/**", "tests/keep.py"}, "tests/keep.py", true},
             {{"!*.py"}, "a.py", false},
         }) {
        EXPECT_EQ(patterns_match(patterns, path), matched) << patterns.back() << " " << path;
    }
    EXPECT_EQ(pattern_lines("# comment\n*.c  \n\n!b.c\n  \nsrc/**"),
              (std::vector<std::string>{"*.c", "!b.c", "src/**"}));
    for (std::string const bad : {"", "!", "/", "#x", "a\nb", "../x.c", "src/../../x", "x.c "}) {
        EXPECT_TRUE(pattern_problem(bad).has_value()) << bad;
    }
    EXPECT_FALSE(pattern_problem("src/**/*.py").has_value());
}

// Every existing file a pattern matches is tracked at once, dependency and build folders and
// unusual names aside; the patterns are kept, listed and removed, and files stay tracked.
TEST_F(TrackTool, PatternsTrackEveryMatchingFileAndAreKeptInTheDataDirectory) {
    fs::path const main_c = file("main.c"), util_c = file("src/lib/util.c"),
                   app_py = file("src/app.py");
    file("node_modules/pkg/index.c");
    file("build/gen.c");
    file(".git/hooks/x.c");
    file("notes.txt");
    fs::path const odd = file("odd;name.c");
    fs::create_symlink(project / "src", project / "linked");  // not followed: no second name
    TempDir elsewhere;
    fs::create_symlink(write_file(elsewhere / "key.c", "private"), project / "planted.c");
    auto result =
        track({project.path(), "--pattern", "*.c", "--pattern=src/**/*.py", "--pattern", "*.rs"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map),
              line_for(main_c) + "\n" + line_for(app_py) + "\n" + line_for(util_c) + "\n");
    EXPECT_TRUE(has(result.output, "pattern   *.rs  (no file yet)")) << result.output;
    EXPECT_TRUE(has(result.output, "skipped   '" + odd.native() + "'")) << result.output;
    EXPECT_TRUE(has(result.output, "planted.c': a symbolic link leading outside the project"))
        << result.output;
    EXPECT_EQ(pattern_lines(read_file(project / ".wardlet" / "patterns")),
              (std::vector<std::string>{"*.c", "src/**/*.py", "*.rs"}));

    // A later call with a pattern tracks files that appeared meanwhile, with the old patterns.
    fs::path const later = file("src/later.py");
    result = track({project.path(), "--pattern", "*.rs"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(has(result.output, "pattern   *.rs  (already recorded)")) << result.output;
    EXPECT_TRUE(has(result.output, "added     " + line_for(later))) << result.output;
    result = track({project.path(), "--list"});
    EXPECT_TRUE(result.output.starts_with(
        "pattern   *.c\npattern   src/**/*.py\npattern   *.rs\nok        "))
        << result.output;

    result = track({project.path(), "--remove-pattern", "*.rs", "*.c"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(pattern_lines(read_file(project / ".wardlet" / "patterns")),
              (std::vector<std::string>{"src/**/*.py"}));
    EXPECT_TRUE(has(read_file(map), line_for(main_c)));
    std::string const patterns_before = read_file(project / ".wardlet" / "patterns");
    for (auto const& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{project.path(), "--remove-pattern", "src/**/*.py", "*.go"}, "'*.go': not recorded"},
             {{project.path(), "--pattern", "../up/*.c"}, "cannot leave the project"},
             {{project.path(), "--pattern"}, "usage"},
             {{project.path(), "--pattern", "*.c", "--list"}, "usage"}}) {
        auto const refused = track(args);
        EXPECT_NE(refused.status, 0);
        EXPECT_TRUE(has(refused.output, reason)) << refused.output;
    }
    EXPECT_EQ(read_file(project / ".wardlet" / "patterns"), patterns_before);
}

// Relative names are taken from the current directory first, then from the project directory,
// so the same command works from anywhere.
TEST_F(TrackTool, RelativeNamesFallBackToTheProjectDirectory) {
    TempDir elsewhere;
    fs::path const in_project = file("src/main.c");
    fs::path const in_cwd = file("sub/src/main.c");
    fs::create_directories(elsewhere / "src");
    write_file(elsewhere / "src" / "main.c", "outside\n");
    fs::path const only_here = file("only.c");
    // From a folder of the project, a name is the file there first.
    auto result = track({project.path(), "src/main.c", "only.c"}, project / "sub");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map), line_for(in_cwd) + "\n" + line_for(only_here) + "\n");
    fs::remove(only_here);
    result = track({project.path(), "--remove", "only.c"}, project / "sub");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map), line_for(in_cwd) + "\n");
    // From a folder outside it, the project's own file, never the one outside.
    result = track({project.path(), "src/main.c"}, elsewhere.path());
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(map), line_for(in_cwd) + "\n" + line_for(in_project) + "\n");
    EXPECT_TRUE(has(track({"--help"}).output, "from <proj_dir> otherwise"));
}
