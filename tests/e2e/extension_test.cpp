#include "monitor_harness.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// The extension's own sending code, driven by editor events with UTF-16 positions, feeds the real
// monitor: after the save the file on disk equals the mirror byte for byte, so no fast insertion.
TEST(Extension, ScriptedEditorSessionKeepsTheMirrorExact) {
    MonitorHarness monitor;
    // UTF-16 units: "h é l l o _ w ö r l d \r \n" = 13, "line two " = 9, the emoji 2, "\r\n".
    auto const file =
        monitor.add_tracked("notes.txt", "h\u00e9llo w\u00f6rld\r\nline two \U0001F600\r\n");
    monitor.start();
    auto const script = write_file(monitor.project() / "script.json", R"({
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
})");
    auto const replay = [&](std::filesystem::path const& script) {
        auto const result = run_process(
            {NODE_BIN, EXTENSION_DIR "/out/scripts/replay.js", monitor.socket(), script.native()});
        ASSERT_EQ(result.status, 0) << result.output;
    };
    replay(script);
    // The editor saves long after the changes went out; a save written to disk before the monitor
    // has received the changes would rightly count as content that bypassed it.
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 7), 7);
    std::string const edited =
        "pasted\r\nHX\u00e9llo w\u00f6rld!\r\nline two \U0001F600\U0001F389\r\n";
    replay(write_file(monitor.project() / "save.json",
                      R"({"documents": [{"file": ")" + file.native() + R"(", "text": )" +
                          nlohmann::json(edited).dump() + R"(}], "steps": [{"save": true}]})"));
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM file_events WHERE handler_type = "
                               "'TRACKEDFILE' AND action = 'Modified'",
                               1),
              1)
        << monitor.process().output();
    EXPECT_EQ(read_file(file), edited);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 8), 8);
    EXPECT_EQ(
        monitor.rows("SELECT COUNT(*) FROM file_events WHERE incident_type = "
                     "'FAST_INSERTION' UNION ALL SELECT SUM(is_undo_redo) || SUM(is_copy_paste) "
                     "|| SUM(is_saved) FROM vscode_events"),
        "0\n111\n")
        << monitor.process().output();
}

// A document holding a lone surrogate: the extension's encoding sends its escape, the monitor
// stores U+FFFD, and the offsets after it agree, so the saved file matches the mirror.
TEST(Extension, ALoneSurrogateIsStoredAsTheReplacementCharacterAndLaterOffsetsStayRight) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("lone.txt", "ab");
    monitor.start();
    auto const replay = [&](std::string const& script) {
        auto const path = write_file(monitor.project() / "script.json", script);
        auto const result = run_process(
            {NODE_BIN, EXTENSION_DIR "/out/scripts/replay.js", monitor.socket(), path.native()});
        ASSERT_EQ(result.status, 0) << result.output;
    };
    replay(R"({"documents": [{"file": ")" + file.native() + R"("}], "steps": [
        {"changes": [{"rangeOffset": 1, "rangeLength": 0, "text": "\ud800"}]},
        {"changes": [{"rangeOffset": 2, "rangeLength": 0, "text": "c"}]}]})");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2)
        << monitor.process().output();
    EXPECT_EQ(monitor.rows("SELECT hex(inserted), change_offset FROM vscode_events ORDER BY id"),
              "EFBFBD|1\n63|4\n");
    replay(R"({"documents": [{"file": ")" + file.native() +
           R"(", "text": "a\ufffdcb"}], "steps": [{"save": true}]})");
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 3), 3);
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
