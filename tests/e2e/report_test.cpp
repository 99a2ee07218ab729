#include "monitor_harness.hpp"

#include "app/convert.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

ProcessResult report(fs::path const& project, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {REPORT_BIN, project.native()});
    return run_process(more);
}

}  // namespace

// Typing with a backspace, an external paste, an internal copy, an undo and two saves, then an
// external rewrite: every format counts what was sent and places each byte by how it arrived, and
// the replay rebuilds the file at its end and at any row's moment.
TEST(Report, ASessionOfSentChangesAndARewriteInEveryFormatAndItsReplay) {
    MonitorHarness monitor;
    auto const main_c = monitor.add_tracked("main.c", "int a;\n");
    auto const copied = std::string("int helper(void);\n");
    monitor.add_tracked("util.h", copied);
    monitor.start();
    std::string doc = "int a;\n";
    std::vector<std::string> saved, states;  // the document after each change
    auto const send = [&](Change change) {
        change.file = main_c;
        if (change.saved) {
            saved.push_back(doc);
        } else {
            doc.replace(change.offset, change.deleted, change.inserted);
        }
        states.push_back(doc);
        monitor.send(change.line());
        auto const rows = static_cast<long long>(states.size());
        ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", rows), rows);
    };
    auto const at_end = [&] { return static_cast<std::int64_t>(doc.size()); };
    auto const save = [&] {
        send({.type = "save", .offset = -1, .saved = true});
        write_file(main_c, doc);
        auto const saves = static_cast<long long>(saved.size());
        ASSERT_EQ(
            monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Modified'", saves),
            saves);
    };
    for (char typed : std::string("int b;\nx")) {
        send({.inserted = std::string(1, typed), .offset = at_end()});
    }
    send({.deleted = 1, .offset = at_end() - 1});
    save();
    std::string const pasted = "/* \"web\", </script> & <b>\n */\n";
    send({.inserted = pasted, .offset = at_end(), .copy_paste = true});
    send({.inserted = copied, .offset = at_end(), .copy_paste = true});
    send({.inserted = "y", .offset = at_end()});
    send({.deleted = 1, .offset = at_end() - 1, .undo_redo = true});
    save();
    // Another program rewrites the first and the last line.
    std::string const final_content = "int A;\n" + doc.substr(7, doc.size() - 15) + "(int);\n";
    write_file(main_c, final_content);
    ASSERT_EQ(monitor.wait_for(
                  "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION'", 1),
              1);

    auto const replay = [&](std::vector<std::string> at) {
        at.insert(at.begin(), {"--replay", main_c});
        return report(monitor.project(), at).output;
    };
    EXPECT_EQ(replay({}), final_content);
    // By the text a row carries, and by the same moment in ISO 8601.
    auto const times = split_lines(monitor.rows("SELECT timestamp FROM vscode_events ORDER BY id"));
    std::string iso = times[11];
    iso[10] = 'T';
    EXPECT_EQ(replay({"--at", times[8]}), states[8]);
    EXPECT_EQ(replay({"--at", iso + "Z"}), states[11]);

    auto const text = report(monitor.project());
    ASSERT_EQ(text.status, 0) << text.output;
    for (std::string const& line : std::vector<std::string>{
             "  editor changes       13\n", "  bytes deleted        2\n",
             fmt::format("  pastes               1 ({} bytes)\n", pasted.size()),
             "  undo/redo changes    1\n", "  internal copies      1\n",
             "  saves                2\n", "    | int helper(void);\n", "    + int helper(int);\n",
             "\nutil.h\n"}) {
        EXPECT_NE(text.output.find(line), std::string::npos) << line << text.output;
    }

    auto const json_run = report(monitor.project(), {"--json"});
    ASSERT_EQ(json_run.status, 0) << json_run.output;
    json const files_json = json::parse(json_run.output)["files"];
    ASSERT_EQ(files_json.size(), 2u);
    json const& file = files_json[0];
    EXPECT_EQ(file["relative_path"], "main.c");
    EXPECT_EQ(file["bytes_inserted"], 9 + pasted.size() + copied.size());
    EXPECT_EQ(file["internal_copies"][0]["text"], copied);
    EXPECT_EQ(file["final_size"], final_content.size());
    // Each byte by how it arrived: the lines between the rewritten ones keep their origins.
    EXPECT_EQ(file["shares"].dump(),
              fmt::format(R"({{"bulk":0,"fast_insertion":17,"initial":4,"internal_copy":3,"pasted":{},)"
                          R"("typed":7,"undo_redo":0}})",
                          pasted.size()));
    EXPECT_EQ(files_json[1]["shares"]["initial"], copied.size());

    // Python's own parsers judge the other outputs: the page as XML, the export with csv.
    auto const page = monitor.project() / "report.html";
    auto const export_dir = monitor.project() / "ps2";
    auto const files = report(monitor.project(), {"--html", page.native(), "--progsnap2",
                                                  export_dir.native(), "--subject", "ann"});
    ASSERT_EQ(files.status, 0) << files.output;
    auto const parsed = run_process(
        {"/usr/bin/env", "python3", "-c",
         "import csv, json, sys, xml.etree.ElementTree as E\n"
         "X = '{http://www.w3.org/1999/xhtml}'\n"
         "h2 = [s.find(X + 'h2').text for s in E.parse(sys.argv[1]).iter(X + 'section')\n"
         "      if s.get('class') == 'file']\n"
         "rows = list(csv.DictReader(open(sys.argv[2] + '/MainTable.csv', newline='')))\n"
         "meta = dict(csv.reader(open(sys.argv[2] + '/DatasetMetadata.csv', newline='')))\n"
         "print(json.dumps({'h2': h2, 'rows': rows, 'meta': meta}))",
         page, export_dir});
    ASSERT_EQ(parsed.status, 0) << parsed.output;
    json const exported = json::parse(parsed.output);
    EXPECT_EQ(exported["h2"], (json{"main.c", "util.h"}));
    EXPECT_EQ(exported["meta"]["CodeStateRepresentation"], "Directory");
    std::vector<std::string> exported_states;
    std::map<std::string, std::string> edit_types;
    for (json const& row : exported["rows"]) {
        EXPECT_EQ(row["SubjectID"], "ann");
        std::string const type = row["EventType"];
        if (row["CodeStateSection"] != "main.c") {
            continue;
        } else if (type == "File.Save" || type == "X-FastInsertion") {
            exported_states.push_back(read_file(export_dir / "CodeStates" /
                                                row["CodeStateID"].get<std::string>() / "main.c"));
        } else if (type == "File.Edit" || type == "X-InternalCopy") {
            edit_types[row["X-InsertText"]] = type + " " + row["EditType"].get<std::string>();
        }
    }
    EXPECT_EQ(exported_states, (std::vector<std::string>{saved[0], saved[1], final_content}));
    EXPECT_EQ(edit_types[pasted], "File.Edit Paste");
    EXPECT_EQ(edit_types[copied], "X-InternalCopy ");
    EXPECT_EQ(edit_types[""], "File.Edit Undo");
}

// A paste of text that another tracked file holds: the monitor itself records where it found the
// text, and every format of the report names that file and the byte there.
TEST(Report, AnInternalCopyNamesTheFileItsTextWasFoundIn) {
    MonitorHarness monitor;
    std::string const helper = "int helper(void) { return 42; }\n";
    auto const main_c = monitor.add_tracked("main.c", "int a;\n");
    auto const util_c = monitor.add_tracked("util.c", "// util\n" + helper);
    monitor.start();
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots", 2), 2);
    monitor.send(
        Change{.file = main_c, .inserted = helper, .offset = 7, .copy_paste = true}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1);
    EXPECT_EQ(monitor.rows("SELECT internal_copy, copy_source, copy_source_offset FROM "
                           "vscode_events"),
              fmt::format("1|{}|8\n", util_c.native()));

    fs::path const page = monitor.project() / "report.html";
    auto const text = report(monitor.project(), {"--html", page.native()});
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("\n  internal copy at "), std::string::npos) << text.output;
    EXPECT_NE(
        text.output.find(fmt::format("({} bytes, copied from util.c at byte 8):\n", helper.size())),
        std::string::npos)
        << text.output;
    // util.c is the second file in path order: its section is file-1.
    EXPECT_NE(read_file(page).find("copied from <a href=\"#file-1\"><code>util.c</code></a>"),
              std::string::npos);

    auto const json_run = report(monitor.project(), {"--json"});
    ASSERT_EQ(json_run.status, 0) << json_run.output;
    json const copy = json::parse(json_run.output)["files"][0]["internal_copies"][0];
    EXPECT_EQ(copy["text"], helper);
    EXPECT_EQ(copy["source"], "util.c");
    EXPECT_EQ(copy["source_offset"], 8);
}

TEST(Report, MissingEmptyAndForeignDatabasesAndBadUsage) {
    TempDir root;
    auto const project = root / "project";
    fs::create_directories(project);
    auto const expect = [&](std::vector<std::string> args, int status, std::string const& says) {
        auto const result = report(project, args);
        EXPECT_EQ(result.status, status) << result.output;
        EXPECT_NE(result.output.find(says), std::string::npos) << result.output;
        return result.output;
    };
    expect({}, 1, "no database at");
    write_file(project / "a.c", "int a;\n");
    ASSERT_EQ(run_process({TRACK_BIN, project.native(), (project / "a.c").native()}).status, 0);
    expect({}, 0, "Nothing recorded yet");
    EXPECT_EQ(json::parse(expect({"--json"}, 0, ""))["files"][0]["relative_path"], "a.c");
    auto const db = project / ".wardlet" / "wardlet.sqlite3";
    write_file(db, "");
    expect({}, 1, "holds no monitor tables");
    // Tables made by an earlier version keep no positions: the rows cannot be replayed.
    SqlReader{db}(
        "CREATE TABLE file_events (type, filepath, fid, action, old_filepath, directory, diff, "
        "handler_type, incident_type, hash); CREATE TABLE vscode_events (timestamp, type, "
        "filepath, fid, inserted, deleted, is_undo_redo, is_copy_paste, internal_copy, copy_buf, "
        "is_saved, hash)");
    expect({"--replay", project / "a.c"}, 1, "keeps no change offsets and snapshots");
    // Their rows name no editor: the VS Code extension was the only one then.
    SqlReader{db}(
        "INSERT INTO vscode_events (timestamp, type, filepath, inserted, deleted, "
        "is_undo_redo, is_copy_paste, internal_copy, is_saved) VALUES "
        "('2026-12-06 21:00:00.000000000', 'change', '" +
        (project / "a.c").native() + "', 'x', 0, 0, 0, 0, 0)");
    EXPECT_EQ(json::parse(expect({"--json"}, 0, ""))["files"][0]["editors"],
              json::array({"VSCODE"}));
    expect({}, 0, "editors");
    expect({"--replay", "a.c", "--at", "2023-02-29T00:00:00Z"}, 2, "is not a time");
    expect({"--bogus"}, 2, "");
    expect({"--json", "--replay", "a.c"}, 2, "");
}
