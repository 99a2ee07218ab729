#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>

namespace {

using nlohmann::json;

// Plays an editor script through the extension's own replay driver against the monitor.
void replay(MonitorHarness& monitor, std::string const& name, json script) {
    if (!script.contains("workspaceFolders")) {
        script["workspaceFolders"] = json::array({monitor.project().native()});
    }
    auto const path = write_file(monitor.project().parent_path() / name, script.dump());
    auto const result = run_process(
        {NODE_BIN, EXTENSION_DIR "/out/scripts/replay.js", monitor.socket(), path.native()});
    ASSERT_EQ(result.status, 0) << result.output;
}

long long count(MonitorHarness& monitor, std::string const& query) {
    return std::stoll(monitor.rows(query));
}

std::string const kFastInsertions =
    "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION'";
std::string const kModified =
    "SELECT COUNT(*) FROM file_events WHERE handler_type = 'TRACKEDFILE' AND action = 'Modified'";

// Waits until the monitor has judged the saved file, then checks that nothing was a fast insertion.
void expect_save_judged_clean(MonitorHarness& monitor) {
    ASSERT_GE(monitor.wait_for("SELECT COUNT(*) FROM vscode_events WHERE type = 'save'", 1), 1)
        << monitor.process().output();
    ASSERT_GE(monitor.wait_for(kModified, 1), 1) << monitor.process().output();
    EXPECT_EQ(count(monitor, kFastInsertions), 0) << monitor.process().output();
}

}  // namespace

// The extension's own sending code, driven by editor events with UTF-16 positions, feeds the real
// monitor: after the save the file on disk equals the mirror byte for byte, so no fast insertion.
TEST(Extension, ScriptedEditorSessionKeepsTheMirrorExact) {
    MonitorHarness monitor;
    // UTF-16 units: "h é l l o _ w ö r l d \r \n" = 13, "line two " = 9, the emoji 2, "\r\n".
    auto const file =
        monitor.add_tracked("notes.txt", "h\u00e9llo w\u00f6rld\r\nline two \U0001F600\r\n");
    monitor.start();
    replay(monitor, "script.json", json::parse(R"({
  "documents": [{"file": ")" + file.native() + R"("}],
  "steps": [
    {"changes": [{"rangeOffset": 1, "rangeLength": 0, "text": "X"}]},
    {"changes": [{"rangeOffset": 7, "rangeLength": 5, "text": "w\u00f6rld!"}]},
    {"changes": [{"rangeOffset": 26, "rangeLength": 0, "text": "\ud83c\udf89"},
                 {"rangeOffset": 0, "rangeLength": 1, "text": "H"}]},
    {"changes": [{"rangeOffset": 24, "rangeLength": 2, "text": ""}]},
    {"changes": [{"rangeOffset": 24, "rangeLength": 0, "text": "\ud83d\ude00"}], "reason": "undo"},
    {"changes": [{"rangeOffset": 0, "rangeLength": 0, "text": "pasted\r\n"}],
     "clipboard": "pasted\r\n", "paste": true}
  ]
})"));
    // The editor saves long after the changes went out; a save written to disk before the monitor
    // has received the changes would count as content that bypassed it with a monitor that
    // judges the disk event alone. The second run is an editor that starts with the document
    // unsaved: it describes it ("open", with its text), then saves it.
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 8), 8);
    std::string const edited =
        "pasted\r\nHX\u00e9llo w\u00f6rld!\r\nline two \U0001F600\U0001F389\r\n";
    replay(monitor, "save.json",
           {{"documents", {{{"file", file.native()}, {"text", edited}}}},
            {"steps", {{{"save", true}}}}});
    ASSERT_EQ(monitor.wait_for(kModified, 1), 1) << monitor.process().output();
    EXPECT_EQ(read_file(file), edited);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 10), 10);
    EXPECT_EQ(
        monitor.rows(kFastInsertions + " UNION ALL SELECT SUM(is_undo_redo) || SUM(is_copy_paste) "
                                       "|| SUM(is_saved) FROM vscode_events"),
        "0\n111\n")
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT type FROM vscode_events WHERE type != 'change' ORDER BY id"),
              "open\nopen\nsave\n");
}

// The editor's own events hold a replacement and an insertion at one offset, and two insertions
// at one offset; they apply one after the other from the end of the document.
TEST(Extension, SameOffsetEventsKeepTheMirrorExact) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("same.txt", "abcdef\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"changes",
                {{{"rangeOffset", 2}, {"rangeLength", 2}, {"text", "XY"}},
                 {{"rangeOffset", 2}, {"rangeLength", 0}, {"text", "<"}}}}},
              {{"changes",
                {{{"rangeOffset", 0}, {"rangeLength", 0}, {"text", "1"}},
                 {{"rangeOffset", 0}, {"rangeLength", 0}, {"text", "2"}}}}}}}});
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 5), 5);
    replay(monitor, "save.json",
           {{"documents", {{{"file", file.native()}, {"text", "21ab<XYef\n"}}}},
            {"steps", {{{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "21ab<XYef\n");
}

// An editor settings file (with a secret in it) is open beside the project: nothing of it is sent.
TEST(Extension, SettingsFileOutsideTheProjectIsNotSent) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("main.c", "int x;\n");
    auto const user = monitor.home() / ".config" / "Code" / "User";
    std::filesystem::create_directories(user);
    auto const settings = write_file(user / "settings.json", "{\"token\": \"s3cret-value\"}\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"workspaceFolders", {monitor.project().native(), monitor.home().native()}},
            {"documents", {{{"file", settings.native()}}, {{"file", file.native()}}}},
            {"steps",
             {{{"file", settings.native()},
               {"changes", {{{"rangeOffset", 1}, {"rangeLength", 0}, {"text", "\"more\": 1, "}}}}},
              {{"file", settings.native()}, {"save", true}},
              {{"file", file.native()},
               {"changes", {{{"rangeOffset", 6}, {"rangeLength", 0}, {"text", "y"}}}}}}}});
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    EXPECT_EQ(monitor.rows("SELECT DISTINCT filepath FROM vscode_events"), file.native() + "\n");
    EXPECT_EQ(monitor.process().output().find("s3cret"), std::string::npos);
}

// The file reaches the disk before the changes that made it (each waits for a clipboard read).
TEST(ExtensionFidelity, SaveBeforeItsChangesIsNoFastInsertion) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("quick.txt", "alpha\nbeta\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"clipboard", "other"},
               {"changes", {{{"rangeOffset", 10}, {"rangeLength", 0}, {"text", "!!"}}}}},
              {{"changes", {{{"rangeOffset", 12}, {"rangeLength", 0}, {"text", "?"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "alpha\nbeta!!?\n");
}

// The editor drops a UTF-8 byte order mark and writes it back on save; a real external change
// afterwards still is a fast insertion.
TEST(ExtensionFidelity, ByteOrderMarkIsNotPartOfTheText) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("bom.txt", "\xEF\xBB\xBFh\u00e9llo\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"changes", {{{"rangeOffset", 5}, {"rangeLength", 0}, {"text", "!"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "\xEF\xBB\xBFh\u00e9llo!\n");
    std::ofstream(file, std::ios::app) << std::string(400, 'z') << '\n';
    EXPECT_GE(monitor.wait_for(kFastInsertions, 1), 1) << monitor.process().output();
}

// Mixed line ends: the editor makes them one on opening, and saves them so.
TEST(ExtensionFidelity, MixedLineEndsAreMadeOneByTheEditor) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("mixed.txt", "a\r\nb\nc\r\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"changes", {{{"rangeOffset", 4}, {"rangeLength", 0}, {"text", "B"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "a\r\nbB\r\nc\r\n");
}

// A Latin-1 file: one byte per accented letter on disk, two in the editor's UTF-8 text.
TEST(ExtensionFidelity, Latin1DocumentIsDecodedAsTheEditorDoes) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("latin.txt", "caf\xE9 cr\xE8me\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}, {"encoding", "iso88591"}}}},
            {"steps",
             {{{"changes",
                {{{"rangeOffset", 10}, {"rangeLength", 0}, {"text", " br\u00fbl\u00e9e"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file),
              "caf\xE9 cr\xE8me br\xFBl\xE9"
              "e\n");
}

// The editor starts with unsaved text (hot exit): the monitor takes it, and calls none of it typed.
TEST(ExtensionFidelity, DocumentDirtyAtStart) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("dirty.txt", "alpha\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}, {"text", "alpha\nbeta\n"}}}},
            {"steps",
             {{{"changes", {{{"rangeOffset", 10}, {"rangeLength", 0}, {"text", "!"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "alpha\nbeta!\n");
    EXPECT_EQ(monitor.rows("SELECT inserted FROM vscode_events WHERE type = 'open'"),
              "alpha\nbeta\n\n");
    EXPECT_EQ(monitor.rows("SELECT content FROM snapshots WHERE reason = 'editor_open'"),
              "alpha\nbeta\n\n");
}

// Changes, a close without saving (the editor reverts), the document opened again, edited, saved.
TEST(ExtensionFidelity, RevertedAndReopenedDocument) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("revert.txt", "one\ntwo\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"changes", {{{"rangeOffset", 0}, {"rangeLength", 3}, {"text", "ONE ONE"}}}}},
              {{"close", true}},
              {{"open", true}},
              {{"changes", {{{"rangeOffset", 8}, {"rangeLength", 0}, {"text", "three\n"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "one\ntwo\nthree\n");
}

// An edit the extension never heard of: it notices, and brings the monitor to the editor's text.
TEST(ExtensionFidelity, OutOfStepShadowIsRepaired) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("step.txt", "abc\n");
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"unreported", true},
               {"changes", {{{"rangeOffset", 3}, {"rangeLength", 0}, {"text", "def"}}}}},
              {{"changes", {{{"rangeOffset", 0}, {"rangeLength", 0}, {"text", "\u00e9"}}}}},
              {{"changes", {{{"rangeOffset", 7}, {"rangeLength", 0}, {"text", "g"}}}}},
              {{"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(file), "\u00e9abcdefg\n");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM vscode_events WHERE type = 'resync'"), "1\n");
}

// The editor renames the file, which the monitor also sees on the disk; edits under the new name
// keep the mirror exact.
TEST(ExtensionFidelity, RenamedFileIsFollowed) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("old.txt", "text\n");
    auto const renamed = monitor.project() / "new.txt";
    monitor.start();
    replay(monitor, "script.json",
           {{"documents", {{{"file", file.native()}}}},
            {"steps",
             {{{"changes", {{{"rangeOffset", 4}, {"rangeLength", 0}, {"text", "1"}}}}},
              {{"rename", renamed.native()}},
              {{"file", renamed.native()},
               {"changes", {{{"rangeOffset", 5}, {"rangeLength", 0}, {"text", "2"}}}}},
              {{"file", renamed.native()}, {"save", true}}}}});
    expect_save_judged_clean(monitor);
    EXPECT_EQ(read_file(renamed), "text12\n");
    EXPECT_EQ(monitor.rows("SELECT filepath FROM vscode_events WHERE type = 'rename'"),
              renamed.native() + "\n");
}

// An untitled document saved for the first time as a file the patterns track: the extension sends
// its text as one insertion at the start of the new file before the save, so the monitor mirrors
// what the editor wrote, with no fast insertion, whichever of the disk and the message comes first.
TEST(ExtensionFidelity, AnUntitledDocumentFirstSavedAsATrackedFileIsNoFastInsertion) {
    MonitorHarness monitor;
    write_file(monitor.project() / ".wardlet" / "patterns", "*.py\n");
    monitor.start();
    UnixClient editor(monitor.socket());  // the editor's connection, open all along
    auto const file = monitor.project() / "fresh.py";
    std::string const text = "def f():\n    return 1\n";
    replay(monitor, "script.json",
           {{"documents", json::array()}, {"steps", {{{"firstSave", file.native()}, {"text", text}}}}});
    ASSERT_GE(monitor.wait_for("SELECT COUNT(*) FROM vscode_events WHERE type = 'save'", 1), 1)
        << monitor.process().output();
    // The file's content on the disk judged once the save came: as it appeared, or as it was
    // written after it appeared empty.
    ASSERT_GE(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE action IN ('Add', "
                               "'Modified') AND handler_type = 'TRACKEDFILE'",
                               1),
              1)
        << monitor.process().output();
    EXPECT_EQ(count(monitor, kFastInsertions), 0) << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT change_offset, inserted = '" + text +
                           "' FROM vscode_events WHERE type = 'change'"),
              "0|1\n");
    auto const replayed = run_process({REPORT_BIN, monitor.project().native(), "--replay", file.native()});
    EXPECT_EQ(replayed.output, text);
}

// A document holding a lone surrogate: the extension's encoding sends its escape, the monitor
// stores U+FFFD, and the offsets after it agree, so the saved file matches the mirror.
TEST(Extension, ALoneSurrogateIsStoredAsTheReplacementCharacterAndLaterOffsetsStayRight) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("lone.txt", "ab");
    monitor.start();
    // Written by hand: a lone surrogate cannot pass through a JSON library's UTF-8 strings.
    std::string const folders =
        R"("workspaceFolders": [)" + nlohmann::json(monitor.project().native()).dump() + "], ";
    auto const replay = [&](std::string const& script) {
        auto const path = write_file(monitor.project().parent_path() / "script.json", script);
        auto const result = run_process(
            {NODE_BIN, EXTENSION_DIR "/out/scripts/replay.js", monitor.socket(), path.native()});
        ASSERT_EQ(result.status, 0) << result.output;
    };
    replay("{" + folders + R"("documents": [{"file": ")" + file.native() + R"("}], "steps": [
        {"changes": [{"rangeOffset": 1, "rangeLength": 0, "text": "\ud800"}]},
        {"changes": [{"rangeOffset": 2, "rangeLength": 0, "text": "c"}]}]})");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events WHERE type = 'change'", 2), 2)
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT hex(inserted), change_offset FROM vscode_events "
                           "WHERE type = 'change' ORDER BY id"),
              "EFBFBD|1\n63|4\n");
    replay("{" + folders + R"("documents": [{"file": ")" + file.native() +
           R"(", "text": "a\ufffdcb"}], "steps": [{"save": true}]})");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events WHERE type = 'save'", 1), 1);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE handler_type = "
                               "'TRACKEDFILE' AND action = 'Modified'",
                               1),
              1);
    EXPECT_EQ(read_file(file),
              "a\xEF\xBF\xBD"
              "cb");
    EXPECT_EQ(monitor.rows("SELECT COUNT(*) FROM file_events WHERE incident_type = "
                           "'FAST_INSERTION'"),
              "0\n")
        << monitor.process().output();
}

// The extension's start of a monitor for a folder with .wardlet where nothing answers: the real
// monitor, detached, its output in .wardlet/monitor.log; it records what the editor sends.
TEST(Extension, StartsTheRealMonitorForAPreparedFolder) {
    MonitorHarness monitor;  // its own monitor is not started
    auto const file = monitor.add_tracked("a.txt", "");
    std::string const script =
        "require('" EXTENSION_DIR "/out/monitor-start.js').ensureMonitor(process.argv[1], {"
        "socketPath: '" + monitor.socket() + "', monitorPath: process.argv[2],"
        "startMonitor: true, env: {...process.env, HOME: process.argv[3]}})"
        ".then((s) => { console.log(s.kind + ' ' + (s.pid || 0)); process.exit(0); });";
    auto const result = run_process({NODE_BIN, "-e", script, monitor.project().native(),
                                     WARDLET_BIN, monitor.home().native()});
    ASSERT_EQ(result.output.rfind("started ", 0), 0u) << result.output;
    int const pid = std::stoi(result.output.substr(8));
    ASSERT_GT(pid, 0);
    // The monitor outlives the process that started it.
    auto const log = monitor.project() / ".wardlet" / "monitor.log";
    bool serving = false;
    for (auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !serving && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        serving = has(read_file(log), "[VSCodeListener] started");
    }
    ASSERT_TRUE(serving) << read_file(log);
    monitor.send(Change{.file = file, .inserted = "x", .offset = 0}.line());
    EXPECT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 1), 1) << read_file(log);
    ::kill(pid, SIGTERM);
    for (auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         ::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    }
    EXPECT_FALSE(std::filesystem::exists(monitor.socket()));
}
