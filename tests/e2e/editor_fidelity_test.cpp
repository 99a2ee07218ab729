#include "monitor_harness.hpp"

#include <cstdlib>

#include "editor/document_text.hpp"

#include <gtest/gtest.h>

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A message about the editor's document: the eight keys every message has, and more.
std::string document_message(fs::path const& file, std::string const& type, json extra) {
    json message = {{"file", file.native()},
                    {"type", type},
                    {"inserted", ""},
                    {"deletedCount", 0},
                    {"offset", -1},
                    {"causedByUndoRedo", false},
                    {"causedByCopyPaste", false},
                    {"isSaved", type == "save"}};
    message.update(extra);
    return message.dump() + "\n";
}

// "open" or "resync" as the extension sends it for the editor's `text`, included or not.
std::string describe(fs::path const& file, std::string const& type, std::string const& text,
                     bool include, std::string const& encoding = "utf8",
                     std::string const& eol = "\n", bool bom = false) {
    return document_message(file, type,
                            {{"inserted", include ? text : ""},
                             {"textIncluded", include},
                             {"length", text.size()},
                             {"sha256", sha256_hex(text)},
                             {"encoding", encoding},
                             {"eol", eol},
                             {"bom", bom}});
}

std::string save(fs::path const& file, std::string const& text) {
    return document_message(file, "save", {{"length", text.size()}, {"sha256", sha256_hex(text)}});
}

std::string replay(MonitorHarness const& monitor, fs::path const& file) {
    auto const result = run_process({REPORT_BIN, monitor.project(), "--replay", file});
    EXPECT_EQ(result.status, 0) << result.output;
    return result.output;
}

// Waits, at most 10 s, until the monitor has printed `needle` `times` times.
bool printed(MonitorHarness& monitor, std::string const& needle, std::size_t times) {
    auto const deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string const output = monitor.process().output();
        std::size_t count = 0;
        for (auto at = output.find(needle); at != std::string::npos;
             at = output.find(needle, at + 1)) {
            ++count;
        }
        if (count >= times) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::string const kFast = "SELECT COUNT(*) FROM file_events WHERE incident_type = 'FAST_INSERTION'";

std::string tracked_rows(fs::path const& file) {
    return "SELECT COUNT(*) FROM file_events WHERE handler_type = 'TRACKEDFILE' AND filepath = '" +
           file.native() + "'";
}

}  // namespace

// The editor wrote the file before the changes that made it reached the monitor: the disk change
// waits for the save, which follows the changes, and is no fast insertion.
TEST(EditorFidelity, ASaveBeforeItsChangesIsNoFastInsertion) {
    MonitorHarness monitor;
    auto const file = monitor.add_tracked("a.txt", "alpha\nbeta\n");
    monitor.start();
    UnixClient editor(monitor.socket());
    editor.send(describe(file, "open", "alpha\nbeta\n", false));
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots WHERE reason = 'editor_open'", 1),
              1);

    write_file(file, "alpha\nbeta!\n");
    ASSERT_TRUE(monitor.process().wait_for_output("waiting for the editor's save", 10s))
        << monitor.process().output();
    editor.send(Change{.file = file, .inserted = "!", .offset = 10}.line() +
                save(file, "alpha\nbeta!\n"));
    ASSERT_GE(monitor.wait_for(tracked_rows(file), 1), 1);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 3), 3);
    EXPECT_EQ(monitor.rows(kFast), "0\n");
    EXPECT_EQ(replay(monitor, file), "alpha\nbeta!\n");

    // Another program writes the file and the editor reloads it, sending the whole new text as a
    // change: no save follows, and the content still bypassed the editor.
    write_file(file, "alpha\nbeta!\ngamma\n");
    ASSERT_TRUE(printed(monitor, "waiting for the editor's save", 2)) << monitor.process().output();
    editor.send(
        Change{.file = file, .inserted = "alpha\nbeta!\ngamma\n", .deleted = 12, .offset = 0}
            .line());
    ASSERT_EQ(monitor.wait_for(kFast, 1), 1);
    EXPECT_EQ(monitor.rows("SELECT diff FROM file_events WHERE incident_type = 'FAST_INSERTION'"),
              "= alpha\n= beta!\n+ gamma\n\n");
}

// A byte order mark, mixed line ends and Latin-1: the editor's text is not the disk's bytes, and
// with the format the "open" gave, saving is no fast insertion; a real external change still is.
TEST(EditorFidelity, FilesTheEditorDecodesAreComparedAsItHoldsThem) {
    MonitorHarness monitor;
    auto const bom = monitor.add_tracked("bom.txt", "\xEF\xBB\xBFhello\n");
    auto const mixed = monitor.add_tracked("mixed.txt", "a\r\nb\nc\r\n");
    auto const latin = monitor.add_tracked("latin.txt", "caf\xE9\n");
    monitor.start();
    UnixClient editor(monitor.socket());
    editor.send(describe(bom, "open", "hello\n", false, "utf8bom", "\n", true) +
                describe(mixed, "open", "a\r\nb\r\nc\r\n", false, "utf8", "\r\n") +
                describe(latin, "open", "caf\xC3\xA9\n", false, "iso88591"));
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots WHERE reason = 'editor_open'", 3),
              3);

    // Offsets count the editor's text: after the dropped mark, the normalised line ends, the é.
    editor.send(Change{.file = bom, .inserted = " world", .offset = 5}.line() +
                Change{.file = mixed, .inserted = "X", .offset = 3}.line() +
                Change{.file = latin, .inserted = "!", .offset = 5}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 6), 6);
    write_file(bom, "\xEF\xBB\xBFhello world\n");
    write_file(mixed, "a\r\nXb\r\nc\r\n");
    write_file(latin, "caf\xE9!\n");
    editor.send(save(bom, "hello world\n") + save(mixed, "a\r\nXb\r\nc\r\n") +
                save(latin, "caf\xC3\xA9!\n"));
    for (auto const& file : {bom, mixed, latin}) {
        ASSERT_GE(monitor.wait_for(tracked_rows(file), 1), 1) << file;
    }
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 9), 9);
    EXPECT_EQ(monitor.rows(kFast), "0\n");
    EXPECT_EQ(replay(monitor, bom), "hello world\n");
    EXPECT_EQ(replay(monitor, mixed), "a\r\nXb\r\nc\r\n");
    EXPECT_EQ(replay(monitor, latin), "caf\xC3\xA9!\n");

    // Written by another program, with no save to follow: judged once the wait is over.
    write_file(latin, "caf\xE9!\nna\xEFve\n");
    ASSERT_EQ(monitor.wait_for(kFast, 1), 1);
    EXPECT_EQ(monitor.rows("SELECT filepath FROM file_events WHERE incident_type = "
                           "'FAST_INSERTION'"),
              latin.native() + "\n");
    EXPECT_EQ(replay(monitor, latin), "caf\xC3\xA9!\nna\xC3\xAFve\n");
}

// A document already dirty when the extension starts: the mirror takes the editor's text, which
// nobody typed, and the report says the editor held text the disk did not.
TEST(EditorFidelity, DirtyAtStartAndAResyncSetTheMirrorToTheEditorsText) {
    MonitorHarness monitor;
    auto const dirty = monitor.add_tracked("dirty.txt", "one\n");
    auto const drifted = monitor.add_tracked("drifted.txt", "abc\n");
    monitor.start();
    UnixClient editor(monitor.socket());
    editor.send(describe(dirty, "open", "one\ntwo\n", true) +
                Change{.file = dirty, .inserted = "three\n", .offset = 8}.line() +
                // An edit the editor never made puts the mirror out of step; the resync repairs it.
                Change{.file = drifted, .inserted = "ZZZ", .offset = 0}.line() +
                describe(drifted, "resync", "abc\nd\n", true) +
                Change{.file = drifted, .inserted = "e", .offset = 5}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 5), 5);
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM snapshots WHERE reason LIKE 'editor_%'", 2),
              2);
    // A document outside the project sets nothing, and its text is not kept.
    editor.send(describe(monitor.home() / "settings.json", "open", "{\"token\": 1}", true));
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 6), 6);
    EXPECT_EQ(monitor.rows("SELECT type, inserted, change_offset, internal_copy FROM "
                           "vscode_events WHERE type IN ('open', 'resync') ORDER BY id"),
              "open|one\ntwo\n|-1|0\nresync|abc\nd\n|-1|0\nopen||-1|0\n");
    EXPECT_EQ(replay(monitor, dirty), "one\ntwo\nthree\n");
    EXPECT_EQ(replay(monitor, drifted), "abc\nde\n");
    // The log is written a moment after the rows it tells of.
    EXPECT_TRUE(monitor.process().wait_for_output("] resync of " + drifted.native(), 5s));
    std::string const output = monitor.process().output();
    auto const first = output.find("] resync of " + drifted.native());
    ASSERT_NE(first, std::string::npos) << output;
    EXPECT_EQ(output.find("] resync of", first + 1), std::string::npos) << output;

    auto const report = run_process({REPORT_BIN, monitor.project()});
    ASSERT_EQ(report.status, 0) << report.output;
    EXPECT_NE(report.output.find("editor held unsaved text when first seen"), std::string::npos)
        << report.output;
    // Of "one\ntwo\nthree\n", the editor's text at start is initial, only "three\n" typed.
    auto const dirty_part = report.output.substr(report.output.find("dirty.txt"));
    EXPECT_NE(dirty_part.find(fmt::format("{:<18} {:>10} bytes", "initial", 8)), std::string::npos)
        << dirty_part;
    EXPECT_NE(dirty_part.find(fmt::format("{:<18} {:>10} bytes", "typed", 6)), std::string::npos)
        << dirty_part;
}

// The editor renames a document: the mirror and the file map follow it, and edits under the new
// path are mirrored, replayed and judged against the disk there. The rename reaches the monitor
// twice, from the disk and from the editor, in either order; the mirror moves once, and a later
// external change counts once.
TEST(EditorFidelity, ARenamedDocumentIsFollowed) {
    MonitorHarness monitor;
    auto const old_path = monitor.add_tracked("old.txt", "x\n");
    monitor.start();
    struct stat before {};
    ASSERT_EQ(::stat(old_path.c_str(), &before), 0);
    auto const new_path = monitor.project() / "new.txt";
    fs::rename(old_path, new_path);
    UnixClient editor(monitor.socket());
    editor.send(document_message(new_path, "rename", {{"oldFile", old_path.native()}}) +
                Change{.file = new_path, .inserted = "y", .offset = 0}.line());
    ASSERT_EQ(monitor.wait_for("SELECT COUNT(*) FROM vscode_events", 2), 2);
    EXPECT_EQ(read_file(monitor.filemap()),
              fmt::format("{};{};{}\n", before.st_ino, before.st_dev, new_path.native()));
    EXPECT_EQ(replay(monitor, new_path), "yx\n");

    write_file(new_path, "yx\n");
    editor.send(save(new_path, "yx\n"));
    // The save's write judged (the move's own rows do not count), before the next write begins.
    ASSERT_GE(monitor.wait_for(tracked_rows(new_path) + " AND action = 'Modified'", 1), 1)
        << monitor.process().output();
    write_file(new_path, "yx\nexternal\n");
    ASSERT_EQ(monitor.wait_for(kFast, 1), 1) << monitor.process().output();
    EXPECT_EQ(replay(monitor, new_path), "yx\nexternal\n") << monitor.process().output();
    EXPECT_EQ(monitor.rows(kFast), "1\n");
}
