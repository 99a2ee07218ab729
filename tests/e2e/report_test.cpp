#include "monitor_harness.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

ProcessResult report(fs::path const& project, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {REPORT_BIN, project.native()});
    return run_process(more);
}

// Python's own parsers judge the outputs: the page as XML, the export with the csv module.
ProcessResult python(std::string const& script, std::string const& arg) {
    return run_process({"/usr/bin/env", "python3", "-c", script, arg});
}

}  // namespace

// Typing with a backspace, an external paste, an internal copy, an undo and two saves, then an
// external append: every format counts what was sent and places each byte by how it arrived.
TEST(Report, ASessionOfSentChangesAndAnAppendInEveryFormat) {
    MonitorHarness monitor;
    auto const main_c = monitor.add_tracked("main.c", "int a;\n");
    auto const copied = std::string("int helper(void);\n");
    monitor.add_tracked("util.h", copied);
    monitor.start();
    std::string doc = "int a;\n";
    std::vector<std::string> saved;
    long long rows = 0;
    auto const send = [&](std::vector<Change> changes) {
        std::string lines;
        for (Change change : changes) {
            change.file = main_c;
            if (change.saved) {
                saved.push_back(doc);
            } else {
                doc.replace(change.offset, change.deleted, change.inserted);
            }
            lines += change.line();
        }
        monitor.send(lines);
        rows += static_cast<long long>(changes.size());
        ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", rows), rows);
    };
    auto const at_end = [&] { return static_cast<std::int64_t>(doc.size()); };
    auto const save = [&] {
        send({{.type = "save", .offset = -1, .saved = true}});
        write_file(main_c, doc);
        auto const saves = static_cast<long long>(saved.size());
        ASSERT_EQ(
            monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action = 'Modified'", saves),
            saves);
    };
    for (char typed : std::string("int b;\nx")) {
        send({{.inserted = std::string(1, typed), .offset = at_end()}});
    }
    send({{.deleted = 1, .offset = at_end() - 1}});
    save();
    std::string const pasted = "/* \"web\", </script> & <b>\n */\n";
    send({{.inserted = pasted, .offset = at_end(), .copy_paste = true}});
    send({{.inserted = copied, .offset = at_end(), .copy_paste = true}});
    send({{.inserted = "y", .offset = at_end()}});
    send({{.deleted = 1, .offset = at_end() - 1, .undo_redo = true}});
    save();
    std::ofstream(main_c, std::ios::app) << "int appended;\n";
    ASSERT_EQ(monitor.wait_for(
                  "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION'", 1),
              1);
    std::string const final_content = doc + "int appended;\n";
    ASSERT_EQ(read_file(main_c), final_content);

    auto const text = report(monitor.project());
    ASSERT_EQ(text.status, 0) << text.output;
    for (std::string const& line : std::vector<std::string>{
             "  editor changes       13\n", "  bytes deleted        2\n",
             fmt::format("  pastes               2 ({}, {} bytes)\n", pasted.size(), copied.size()),
             "  undo/redo changes    1\n", "  internal copies      1\n",
             "  saves                2\n", "    | int helper(void);\n", "    + int appended;\n",
             "\nutil.h\n"}) {
        EXPECT_NE(text.output.find(line), std::string::npos) << line << text.output;
    }

    auto const json_run = report(monitor.project(), {"--json"});
    ASSERT_EQ(json_run.status, 0) << json_run.output;
    json const doc_json = json::parse(json_run.output);
    EXPECT_EQ(doc_json["schema_version"], 1);
    ASSERT_EQ(doc_json["files"].size(), 2u);
    json const& file = doc_json["files"][0];
    EXPECT_EQ(file["relative_path"], "main.c");
    EXPECT_EQ(file["editor_changes"], 13);
    EXPECT_EQ(file["bytes_inserted"], 9 + pasted.size() + copied.size());
    EXPECT_EQ(file["internal_copies"][0]["text"], copied);
    EXPECT_EQ(file["pastes"][0]["bytes"], pasted.size());
    ASSERT_EQ(file["fast_insertions"].size(), 1u);
    EXPECT_NE(file["fast_insertions"][0]["diff"].get<std::string>().find("+ int appended;\n"),
              std::string::npos);
    EXPECT_EQ(file["final_size"], final_content.size());
    EXPECT_EQ(file["shares"], (json{{"initial", 7},
                                    {"typed", 7},
                                    {"pasted", pasted.size()},
                                    {"internal_copy", copied.size()},
                                    {"undo_redo", 0},
                                    {"fast_insertion", 14}}));
    EXPECT_EQ(doc_json["files"][1]["shares"]["initial"], copied.size());

    auto const page = monitor.project() / "report.html";
    auto const export_dir = monitor.project() / "ps2";
    auto const files = report(monitor.project(), {"--html", page.native(), "--progsnap2",
                                                  export_dir.native(), "--subject", "ann"});
    ASSERT_EQ(files.status, 0) << files.output;
    auto const parsed = python(
        "import sys, xml.etree.ElementTree as E\n"
        "root = E.parse(sys.argv[1]).getroot()\n"
        "print('|'.join(h.text for h in root.iter('{http://www.w3.org/1999/xhtml}h2')))",
        page.native());
    EXPECT_EQ(parsed.output, "main.c|util.h\n") << parsed.status;

    auto const table = python(
        "import csv, json, sys\n"
        "rows = list(csv.DictReader(open(sys.argv[1] + '/MainTable.csv', newline='')))\n"
        "meta = dict(csv.reader(open(sys.argv[1] + '/DatasetMetadata.csv', newline='')))\n"
        "print(json.dumps({'rows': rows, 'meta': meta}))",
        export_dir.native());
    ASSERT_EQ(table.status, 0) << table.output;
    json const exported = json::parse(table.output);
    EXPECT_EQ(exported["meta"]["CodeStateRepresentation"], "Directory");
    std::vector<std::string> states;
    std::map<std::string, std::string> edit_types;
    for (json const& row : exported["rows"]) {
        EXPECT_EQ(row["SubjectID"], "ann");
        if (row["CodeStateSection"] != "main.c") {
            continue;
        }
        std::string const type = row["EventType"];
        if (type == "File.Save" || type == "X-FastInsertion") {
            states.push_back(read_file(export_dir / "CodeStates" /
                                       row["CodeStateID"].get<std::string>() / "main.c"));
        }
        if (type == "File.Edit" || type == "X-InternalCopy") {
            edit_types[row["X-InsertText"]] = type + " " + row["EditType"].get<std::string>();
        }
    }
    EXPECT_EQ(states, (std::vector<std::string>{saved[0], saved[1], final_content}));
    EXPECT_EQ(edit_types[pasted], "File.Edit Paste");
    EXPECT_EQ(edit_types[copied], "X-InternalCopy ");
    EXPECT_EQ(edit_types[""], "File.Edit Undo");
}

TEST(Report, MissingEmptyAndForeignDatabasesAndBadUsage) {
    TempDir root;
    auto const project = root / "project";
    fs::create_directories(project);
    auto const missing = report(project);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("no database at"), std::string::npos) << missing.output;

    write_file(project / "a.c", "int a;\n");
    ASSERT_EQ(run_process({TRACK_BIN, project.native(), (project / "a.c").native()}).status, 0);
    auto const empty = report(project);
    EXPECT_EQ(empty.status, 0) << empty.output;
    EXPECT_NE(empty.output.find("Nothing recorded yet"), std::string::npos) << empty.output;
    auto const empty_json = report(project, {"--json"});
    EXPECT_EQ(json::parse(empty_json.output)["files"][0]["relative_path"], "a.c");

    write_file(project / ".wardlet" / "wardlet.sqlite3", "");
    auto const foreign = report(project);
    EXPECT_EQ(foreign.status, 1);
    EXPECT_NE(foreign.output.find("holds no monitor tables"), std::string::npos) << foreign.output;

    EXPECT_EQ(report(project, {"--bogus"}).status, 2);
    EXPECT_EQ(report(project, {"--json", "--replay", "a.c"}).status, 2);
}
