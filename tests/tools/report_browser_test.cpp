#include "store/event_db.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tools/replay.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::pair<char const*, char>, 4> ENTITIES{
    {{"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&amp;", '&'}}};

// The text of an HTML fragment: tags dropped, the four escaped characters restored.
std::string text_of(std::string_view html) {
    std::string text;
    for (std::size_t i = 0; i < html.size(); ++i) {
        if (html[i] == '<') {
            i = std::min(html.find('>', i), html.size());
            continue;
        }
        std::string_view const rest = html.substr(i);
        auto const entity = std::find_if(ENTITIES.begin(), ENTITIES.end(),
                                         [&](auto const& e) { return rest.starts_with(e.first); });
        if (entity != ENTITIES.end()) {
            text += entity->second;
            i += std::string_view(entity->first).size() - 1;
        } else {
            text += html[i];
        }
    }
    return text;
}

// The text of every replay player's view in a serialised DOM, in page order.
std::vector<std::string> player_texts(std::string const& dom) {
    std::string_view const open = "<pre class=\"content\">";
    std::vector<std::string> texts;
    for (auto at = dom.find(open); at != std::string::npos; at = dom.find(open, at)) {
        at += open.size();
        auto const end = dom.find("</pre>", at);
        if (end == std::string::npos) {
            break;
        }
        texts.push_back(text_of(std::string_view(dom).substr(at, end - at)));
        at = end;
    }
    return texts;
}

}  // namespace

// The page's own script rebuilds each file from the embedded change list in a real browser and
// must reach, at its last step, exactly what the replay library rebuilds: across multi-byte text,
// replacements, an edit beyond the end, a fast insertion's reset and more than one checkpoint.
TEST(ReportPage, EachReplayPlayerShowsTheReplayedFinalContentAtItsLastStep) {
    if (std::string(CHROMIUM_BIN).empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    }
    TempDir dir;
    fs::path const project = dir / "p";
    fs::path const db = project / ".wardlet" / "wardlet.sqlite3";
    fs::create_directories(db.parent_path());
    std::string const a = (project / "a.c").native();
    std::string const b = (project / "b <&> é.txt").native();
    {
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::seconds(10));
        events.store_snapshot(a, {1, 1}, SnapshotReason::START, "int a; // d\xc3\xa9j\xc3\xa0\n");
        events.store_snapshot(b, {2, 1}, SnapshotReason::START, "</script><b>\n");
        VSCodeEvent edit;
        edit.timestamp = now_timestamp();
        auto const change = [&](std::string const& file, std::uint64_t offset,
                                std::uint64_t deleted, std::string inserted, bool paste = false) {
            edit.filepath = file;
            edit.offset = offset;
            edit.deleted = deleted;
            edit.inserted = std::move(inserted);
            edit.is_copy_paste = paste;
            edit.timestamp += std::chrono::milliseconds(7);
            events.store(edit);
        };
        for (int i = 0; i < 2500; ++i) {
            change(a, 7 + static_cast<std::uint64_t>(i % 5), i % 3 == 0 ? 1 : 0,
                   i % 7 == 0 ? "\xe2\x9c\x93" : "x");
        }
        change(a, 0, 3, "long", true);
        change(a, 100000, 0, "beyond the end");
        events.store_snapshot(a, {1, 1}, SnapshotReason::FAST_INSERTION, "disk\n&<script>\n");
        change(a, 5, 0, "]]></script>", true);
        change(b, 0, 0, "\xf0\x9f\x98\x80 ");
        events.commit_pending();
    }
    fs::path const page = dir / "report.html";
    auto const written = run_process({REPORT_BIN, project.native(), "--html", page.native()});
    ASSERT_EQ(written.status, 0) << written.output;

    auto const dumped = run_process(
        {CHROMIUM_BIN, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + (dir / "profile").native(),
         "--virtual-time-budget=5000", "--dump-dom", "file://" + page.native() + "#step=last"},
        {}, std::chrono::seconds(120));
    ASSERT_EQ(dumped.status, 0) << dumped.output;
    EXPECT_EQ(player_texts(dumped.output),
              (std::vector<std::string>{replay_file(db, a).content, replay_file(db, b).content}));
}
