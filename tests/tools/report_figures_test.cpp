#include "report_record.hpp"

#include "tools/report_render.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

json file_named(json const& report, std::string const& name) {
    for (json const& file : report["files"]) {
        if (file["relative_path"] == name) {
            return file;
        }
    }
    return nullptr;
}

std::vector<std::size_t> pause_counts(json const& shape) {
    std::vector<std::size_t> counts;
    for (json const& pause : shape["pauses"]) {
        counts.push_back(pause["count"]);
    }
    return counts;
}

}  // namespace

// Keystrokes with known pauses, a break of more than ten minutes, a deletion: the sessions, the
// pause classes, the characters per minute, the code growth and the deleted share follow.
TEST(ReportFigures, SessionsAndRhythmOfAScriptedSession) {
    TempDir dir;
    RecordedProject record(dir / "p");
    record.file("a.c", "");
    std::size_t at = 0;
    auto const key = [&](double seconds, std::string const& text) {
        record.edit("a.c", {.at_s = seconds, .offset = at, .inserted = text});
        at += text.size();
    };
    // First session: pauses of 50 ms, 250 ms, 1.2 s, 20 s.
    key(0, "a");
    key(0.05, "b");
    key(0.3, "c");
    key(1.5, "\xc3\xa9");  // one character of two bytes
    key(21.5, "d");
    record.edit("a.c", {.at_s = 22, .offset = 0, .deleted = 1});
    at -= 1;
    // Eleven minutes later, a second session: a pause of 100 ms.
    key(682, "e");
    key(682.1, "f");
    record.close();

    json const report = record.json();
    json const file = file_named(report, "a.c");
    json const shape = file["shape"];
    ASSERT_EQ(shape["sessions"].size(), 2u) << shape.dump(1);
    EXPECT_EQ(shape["sessions"][0]["changes"], 6);
    EXPECT_EQ(shape["sessions"][0]["typed_bytes"], 6);
    EXPECT_DOUBLE_EQ(shape["sessions"][0]["active_seconds"].get<double>(), 22.0);
    EXPECT_EQ(shape["sessions"][1]["changes"], 2);
    EXPECT_NEAR(shape["active_seconds"].get<double>(), 22.1, 1e-9);
    EXPECT_EQ(shape["keystrokes"], 7);
    // < 100 ms, 100-250, 250-500, 0.5-1 s, 1-2 s, 2-5 s, 5-30 s, 30 s-10 min. The pause after
    // the deletion is no pause between keystrokes, nor is the break.
    EXPECT_EQ(pause_counts(shape), (std::vector<std::size_t>{1, 1, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(shape["bytes_inserted"], 8);
    EXPECT_EQ(shape["bytes_deleted"], 1);
    EXPECT_DOUBLE_EQ(shape["deleted_per_inserted"].get<double>(), 1.0 / 8);
    std::size_t characters = 0;
    for (json const& minute : shape["characters_per_minute"]) {
        characters += minute["characters"].get<std::size_t>();
    }
    EXPECT_EQ(characters, 7u);
    ASSERT_FALSE(shape["sizes"].empty());
    EXPECT_EQ(shape["sizes"].front()["size"], 0);
    EXPECT_EQ(shape["sizes"].back()["size"], 7);
    EXPECT_EQ(file["final_size"], 7);
    // The whole record is the one file here.
    EXPECT_EQ(report["shape"]["sessions"], shape["sessions"]);
    EXPECT_EQ(report["shape"]["sizes"].back()["size"], 7);

    auto const text = record.report();
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_TRUE(has(text.output, "  work sessions        2 sessions, 22 s active\n"))
        << text.output;
    EXPECT_TRUE(has(text.output, "  6 changes  6 bytes typed\n")) << text.output;
}

// Which insertions count as bulk insertions, under the default threshold and others.
TEST(ReportFigures, BulkInsertionsByTheThreshold) {
    struct Case {
        char const* name;
        RecordedProject::Edit edit;
        std::vector<std::string> options;
        char const* share;  // of the inserted bytes
    };
    std::string const block = "for (int i = 0; i < n; ++i) {\n    total += i;\n}\n";
    std::vector<Case> const cases = {
        {"a completion of 45 bytes", {.inserted = std::string(45, 'x')}, {}, "bulk"},
        {"39 bytes on one line", {.inserted = std::string(39, 'x')}, {}, "typed"},
        {"text on two lines", {.inserted = "a;\nb;"}, {}, "bulk"},
        {"a line break with indentation", {.inserted = "\n    \n"}, {}, "typed"},
        {"a block, bytes criterion off", {.inserted = block}, {"--bulk-threshold", "0,4"}, "typed"},
        {"a block, lines criterion off", {.inserted = block}, {"--bulk-threshold", "40,0"}, "bulk"},
        {"a paste is no bulk insertion", {.inserted = block, .paste = true}, {}, "pasted"},
        {"an undo is no bulk insertion", {.inserted = block, .undo = true}, {}, "undo_redo"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        RecordedProject record(dir / "p");
        record.file("a.c", "");
        record.edit("a.c", c.edit);
        record.close();
        json const file = file_named(record.json(c.options), "a.c");
        EXPECT_EQ(file["shares"][c.share], c.edit.inserted.size()) << file["shares"].dump();
        bool const bulk = std::string(c.share) == "bulk";
        ASSERT_EQ(file["bulk_insertions"].size(), bulk ? 1u : 0u);
        if (bulk) {
            EXPECT_EQ(file["bulk_insertions"][0]["text"], c.edit.inserted);
        }
    }
}

// The editor reports a change of line ends as one change over the whole text: every byte keeps
// its origin, a new line end that of the one it replaces; an edit that changes more is no switch.
TEST(ReportFigures, ALineEndSwitchKeepsEveryByteItsOrigin) {
    struct Case {
        char const* name;
        std::string replacement;  // for the whole text "xa\nb\nP\n"
        json shares;
        int switches;
    };
    std::vector<Case> const cases = {
        {"to CRLF", "xa\r\nb\r\nP\r\n", {{"initial", 6}, {"typed", 1}, {"pasted", 3}}, 1},
        {"to CR", "xa\rb\rP\r", {{"initial", 4}, {"typed", 1}, {"pasted", 2}}, 1},
        // Text rewritten whole, as a formatter does, is a bulk insertion.
        {"a letter changed too", "xa\r\nc\r\nP\r\n", {{"bulk", 10}}, 0},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        RecordedProject record(dir / "p");
        record.file("a.c", "a\nb\n");
        record.edit("a.c", {.at_s = 1, .offset = 0, .inserted = "x"});
        record.edit("a.c", {.at_s = 2, .offset = 5, .inserted = "P\n", .paste = true});
        record.edit("a.c", {.at_s = 3, .offset = 0, .deleted = 7, .inserted = c.replacement});
        record.close();
        json const file = file_named(record.json(), "a.c");
        json shares = c.shares;
        for (char const* origin : {"initial", "typed", "pasted", "internal_copy", "undo_redo",
                                   "fast_insertion", "bulk"}) {
            if (!shares.contains(origin)) {
                shares[origin] = 0;
            }
        }
        EXPECT_EQ(file["shares"], shares);
        EXPECT_EQ(file["line_end_switches"], c.switches);
        EXPECT_EQ(file["final_size"], c.replacement.size());
    }
}

// An internal copy names the file its text was found in when the record keeps it; a record
// without those columns reports as before.
TEST(ReportFigures, WhereAnInternalCopyCameFrom) {
    for (bool const kept : {true, false}) {
        SCOPED_TRACE(kept ? "copy source kept" : "no copy source columns");
        TempDir dir;
        RecordedProject record(dir / "p");
        std::string const helper = "int helper(void) { return 42; }\n";
        record.file("a.c", "");
        record.file("src/util.c", "// util\n" + helper);
        record.edit("a.c", {.inserted = helper, .paste = true, .internal_copy = true});
        record.close();
        if (kept) {
            SqlReader sql(record.database());
            for (char const* column : {"copy_source TEXT", "copy_source_offset INTEGER"}) {
                std::string const name =
                    std::string(column).substr(0, std::string(column).find(' '));
                if (sql("SELECT COUNT(*) FROM pragma_table_info('vscode_events') WHERE name = '" +
                        name + "'") == "0\n") {
                    sql(std::string("ALTER TABLE vscode_events ADD COLUMN ") + column);
                }
            }
            ASSERT_EQ(sql("UPDATE vscode_events SET copy_source = '" + record.path("src/util.c") +
                          "', copy_source_offset = 9 WHERE internal_copy = 1"),
                      "");
        }
        json const copy = file_named(record.json(), "a.c")["internal_copies"][0];
        EXPECT_EQ(copy["text"], helper);
        EXPECT_EQ(copy["source"], kept ? json("src/util.c") : json(nullptr));
        EXPECT_EQ(copy["source_offset"], kept ? json(9) : json(nullptr));

        fs::path const page = dir / "report.html";
        auto const text = record.report({"--html", page.native()});
        ASSERT_EQ(text.status, 0) << text.output;
        EXPECT_EQ(has(text.output, "copied from src/util.c at byte 9"), kept) << text.output;
        // src/util.c is the second file in path order: its section is file-1.
        EXPECT_EQ(
            has(read_file(page), "copied from <a href=\"#file-1\"><code>src/util.c</code></a>"),
            kept);
    }
}

// Every count says the same in the text, the page's table and the timeline's hover, and reads
// in the right number.
TEST(ReportFigures, CountsAgreeAndReadInTheRightNumber) {
    TempDir dir;
    RecordedProject record(dir / "p");
    std::string const util = "int helper(void) { return 42; }\n";
    record.file("a.c", "");
    record.file("util.c", util);
    record.edit("a.c", {.at_s = 0, .offset = 0, .inserted = "x"});
    record.edit("a.c", {.at_s = 0.2, .offset = 1, .inserted = "/* web */\n", .paste = true});
    record.edit(
        "a.c", {.at_s = 0.4, .offset = 11, .inserted = util, .paste = true, .internal_copy = true});
    record.close();
    fs::path const page = dir / "report.html";
    auto const text = record.report({"--html", page.native()});
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_TRUE(has(text.output, "  pastes               1 (10 bytes)\n")) << text.output;
    EXPECT_TRUE(has(text.output, "  internal copies      1\n")) << text.output;
    EXPECT_TRUE(has(text.output, "  editor changes       3\n")) << text.output;
    EXPECT_FALSE(has(text.output, " 1 changes")) << text.output;
    std::string const html = read_file(page);
    // One bar of one second holds all three changes.
    EXPECT_TRUE(has(html,
                    ": 3 changes (43 bytes inserted), 1 paste, 1 internal copy, "
                    "0 bulk insertions, 0 fast insertions, 0 saves</title>"))
        << html;
    EXPECT_TRUE(has(html, "each bar: the changes in 1 second;")) << html;
    // The summary row of a.c: pastes, bulk insertions, internal copies, fast insertions, sessions.
    EXPECT_TRUE(has(html,
                    "<td class=\"n\">1</td><td class=\"n\">0</td><td class=\"n\">1</td>"
                    "<td class=\"n\">0</td><td class=\"n\">1</td></tr>"))
        << html;
    for (char const* wrong : {" 1 changes", " 1 pastes", " 1 bytes", " 1 sessions", " 1 saves"}) {
        EXPECT_FALSE(has(html, wrong)) << wrong;
    }
}

// A submission against its record: the same files, a changed one, a missing one, an extra one,
// a symbolic link in place of a file. Exit status 0 only when all are the same.
TEST(ReportVerify, EachFileOfASubmissionAgainstItsRecord) {
    TempDir dir;
    RecordedProject record(dir / "p");
    record.file("a.c", "int a;\n");
    record.file("src/b.c", "int b;\nint c;\nint d;\n");
    record.edit("a.c", {.at_s = 1, .offset = 7, .inserted = "int x;\n"});
    record.close();
    std::string const a = "int a;\nint x;\n";
    std::string const b = "int b;\nint c;\nint d;\n";
    struct Case {
        char const* name;
        std::vector<std::pair<std::string, std::string>> files;  // the submission's
        int status;
        std::vector<std::string> lines;
    };
    std::vector<Case> const cases = {
        {"the same",
         {{"a.c", a}, {"src/b.c", b}, {".wardlet/wardlet.sqlite3", "x"}},
         0,
         {"  same                         a.c\n", "  same                         src/b.c\n",
          "All 2 files are the same as in the record.\n"}},
        {"changed",
         {{"a.c", a}, {"src/b.c", "int b;\nint C;\nint d;\n"}},
         3,
         {"  differs                      src/b.c\n", "        int b;\n", "      - int c;\n",
          "      + int C;\n", "1 of 2 files are not the same"}},
        {"missing and extra",
         {{"a.c", a}, {"notes.txt", "x"}},
         3,
         {"  missing from the submission  src/b.c\n", "  not in the record            notes.txt\n",
          "2 of 3 files are not the same"}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir submission;
        for (auto const& [name, content] : c.files) {
            fs::create_directories((submission / name).parent_path());
            write_file(submission / name, content);
        }
        auto const result = record.report({"--verify", submission.path().native()});
        EXPECT_EQ(result.status, c.status) << result.output;
        for (std::string const& line : c.lines) {
            EXPECT_TRUE(has(result.output, line)) << line << result.output;
        }
    }
    TempDir linked;
    write_file(linked / "a.c", a);
    fs::create_directories(linked / "src");
    fs::create_symlink(record.project() / "src" / "b.c", linked / "src" / "b.c");
    write_file(record.project() / "src" / "b.c", b);
    auto const result = record.report({"--verify", linked.path().native()});
    EXPECT_EQ(result.status, 3) << result.output;
    EXPECT_TRUE(has(result.output, "+ (a symbolic link)")) << result.output;
}

// Each distinct code state is written once: a save that finds a file as an earlier save left it,
// and the same states of a second subject, name the state already written.
TEST(ReportProgSnap2, EachDistinctCodeStateIsWrittenOnce) {
    TempDir dir;
    RecordedProject record(dir / "p");
    record.file("a.c", "");
    record.edit("a.c", {.at_s = 1, .offset = 0, .inserted = "x"});
    record.edit("a.c", {.at_s = 2, .saved = true});
    record.edit("a.c", {.at_s = 3, .saved = true});  // nothing changed since
    record.edit("a.c", {.at_s = 4, .offset = 1, .inserted = "y"});
    record.edit("a.c", {.at_s = 5, .saved = true});
    record.close();

    fs::path const out = dir / "export";
    AnalysedRecord const analysed =
        analyse_record(record.database(), record.project(), {}, Keep::everything, true);
    ProgSnap2Writer writer(out, true);
    writer.add(analysed.record, analysed.report, "ann");
    writer.add(analysed.record, analysed.report, "bob");
    writer.finish();

    std::vector<std::string> states;
    for (auto const& entry : fs::directory_iterator(out / "CodeStates")) {
        states.push_back(entry.path().filename().native());
    }
    std::sort(states.begin(), states.end());
    EXPECT_EQ(states, (std::vector<std::string>{"0", "1"}));
    std::ifstream table(out / "MainTable.csv");
    std::string line;
    std::vector<std::string> saves;  // subject and CodeStateID of each save
    while (std::getline(table, line)) {
        if (line.find(",File.Save,") != std::string::npos) {
            std::size_t const subject = line.find(',') + 1;
            std::size_t const state = line.find(",File.Save,") + 11;
            saves.push_back(line.substr(subject, 3) + " " +
                            line.substr(state, line.find(',', state) - state));
        }
    }
    EXPECT_EQ(saves,
              (std::vector<std::string>{"ann 0", "ann 0", "ann 1", "bob 0", "bob 0", "bob 1"}));
    std::ifstream second(out / "CodeStates" / "1" / "a.c");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(second), {}), "xy");
}
