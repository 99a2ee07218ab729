#include "store/event_db.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tools/replay.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
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

// The page of `project` written by the tool, at `page`.
void write_page(fs::path const& project, fs::path const& page) {
    auto const written = run_process({REPORT_BIN, project.native(), "--html", page.native()});
    ASSERT_EQ(written.status, 0) << written.output;
}

// The DOM of `page` (after its scripts ran) as headless Chromium serialises it.
std::string dumped_dom(fs::path const& page, std::string const& hash = "") {
    fs::path const profile = page.parent_path() / "profile";
    auto const dumped = run_process(
        {CHROMIUM_BIN, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + profile.native(), "--virtual-time-budget=5000",
         "--dump-dom", "file://" + page.native() + hash},
        {}, std::chrono::seconds(120));
    EXPECT_EQ(dumped.status, 0) << dumped.output;
    return dumped.output;
}

std::string read_all(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

// A project in a temporary folder, whose record is made into a page and opened in a real
// Chromium; skipped where Chromium is not installed.
class ReportPage : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(CHROMIUM_BIN).empty()) {
            GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
        }
        fs::create_directories(db.parent_path());
    }

    TempDir dir;
    fs::path const project = dir / "p";
    fs::path const db = project / ".wardlet" / "wardlet.sqlite3";
    std::string const a = (project / "a.c").native();
};

// The page's own script rebuilds each file from the embedded change list in a real browser and
// must reach, at its last step, exactly what the replay library rebuilds: across multi-byte text,
// replacements, an edit beyond the end, a fast insertion's reset and more than one checkpoint.
TEST_F(ReportPage, EachReplayPlayerShowsTheReplayedFinalContentAtItsLastStep) {
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
    ASSERT_NO_FATAL_FAILURE(write_page(project, page));
    EXPECT_EQ(player_texts(dumped_dom(page, "#step=last")),
              (std::vector<std::string>{replay_file(db, a).content, replay_file(db, b).content}));
}

namespace {

// The view of a player as (class, text) runs, for every step in `targets` in turn, as the
// reviewer reaches it by moving the slider: a probe added to the page collects them.
std::vector<std::vector<std::pair<std::string, std::string>>> views_at(
    fs::path const& page, std::vector<std::size_t> const& targets) {
    std::string html = read_all(page);
    std::string probe = "<script>//<![CDATA[\n(function probe() {\n  var targets = " +
                        nlohmann::json(targets).dump() +
                        ", out = [], root = document.querySelector('.player');\n"
                        "  var slider = root.querySelector('input');\n"
                        "  // The page builds its players once it has opened.\n"
                        "  if (!root.hasAttribute('data-step')) return setTimeout(probe, 10);\n"
                        "  targets.forEach(function (t) {\n"
                        "    slider.value = String(t); slider.dispatchEvent(new Event('input'));\n"
                        "    var runs = [];\n"
                        "    root.querySelectorAll('pre.content span').forEach(function (s) {\n"
                        "      runs.push([s.className, s.textContent]); });\n"
                        "    out.push(runs);\n  });\n"
                        "  var pre = document.createElement('pre'); pre.id = 'probe';\n"
                        "  pre.textContent = JSON.stringify(out); document.body.appendChild(pre);\n"
                        "})();\n//]]></script>\n";
    html.insert(html.rfind("</body>"), probe);
    fs::path const probed = page.parent_path() / "probed.html";
    std::ofstream(probed, std::ios::binary) << html;
    std::string const dom = dumped_dom(probed);
    std::string_view const open = "<pre id=\"probe\">";
    auto const at = dom.find(open);
    if (at == std::string::npos) {
        ADD_FAILURE() << dom;
        return {};
    }
    auto const end = dom.find("</pre>", at);
    auto const found =
        nlohmann::json::parse(text_of(dom.substr(at + open.size(), end - at - open.size())));
    return found.get<std::vector<std::vector<std::pair<std::string, std::string>>>>();
}

std::vector<std::pair<std::string, std::string>> runs_of(LabelledText const& text) {
    std::vector<std::pair<std::string, std::string>> runs;
    for (std::size_t i = 0; i < text.content().size(); ++i) {
        std::string name(1, 'o');
        name += static_cast<char>('0' + static_cast<int>(text.origins()[i]));
        if (runs.empty() || runs.back().first != name) {
            runs.emplace_back(name, "");
        }
        runs.back().second += text.content()[i];
    }
    return runs;
}

}  // namespace

// Every step the player reaches, forwards, backwards and across its checkpoints and a reset,
// shows the same bytes with the same origins as the analysis's own labelled replay.
TEST_F(ReportPage, ThePlayerShowsEveryStepWithItsOrigins) {
    LabelledText model("int a;\n", Origin::initial);
    std::vector<std::vector<std::pair<std::string, std::string>>> expected{runs_of(model)};
    {
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::seconds(10));
        events.store_snapshot(a, {1, 1}, SnapshotReason::START, model.content());
        VSCodeEvent edit;
        edit.timestamp = now_timestamp();
        auto const change = [&](std::uint64_t offset, std::uint64_t deleted, std::string inserted,
                                bool paste) {
            model.apply(offset, deleted, inserted, paste ? Origin::pasted : Origin::typed);
            edit.filepath = a;
            edit.offset = offset;
            edit.deleted = deleted;
            edit.inserted = std::move(inserted);
            edit.is_copy_paste = paste;
            edit.timestamp += std::chrono::milliseconds(expected.size() % 11 == 0 ? 1500 : 7);
            events.store(edit);
            expected.push_back(runs_of(model));
        };
        for (std::size_t i = 0; i < 4200; ++i) {
            bool const paste = i % 97 == 0;
            change(i % 7, i % 3 == 0 ? 1 : 0, paste ? "P<&>" : i % 2 ? "x" : "y", paste);
        }
        change(100000, 2, "beyond the end", false);
        std::string const disk = model.content() + "// disk\n";
        model.reset(disk, Origin::fast_insertion);
        events.store_snapshot(a, {1, 1}, SnapshotReason::FAST_INSERTION, disk);
        expected.push_back(runs_of(model));
        for (std::size_t i = 0; i < 30; ++i) {
            change(model.content().size(), 0, "\xc3\xa9", false);
            change(i, i % 2, "z", false);
        }
        events.commit_pending();
    }
    fs::path const page = dir / "report.html";
    ASSERT_NO_FATAL_FAILURE(write_page(project, page));
    std::size_t const last = expected.size() - 1;
    std::vector<std::size_t> const targets{0,    1,    2,    1999, 2000, 2001, 4100, 1500,
                                           3999, 4201, 4202, 4203, last, 3,    4202, last - 1};
    auto const views = views_at(page, targets);
    ASSERT_EQ(views.size(), targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        EXPECT_EQ(views[i], expected[targets[i]]) << "step " << targets[i];
    }
}

// A file changed while no monitor ran is marked on its timeline where the next run found it,
// apart from a fast insertion seen live, each with its own hover text.
TEST_F(ReportPage, TheTimelineMarksAChangeWhileNoMonitorRan) {
    {
        EventDB events(db.native());
        events.store_snapshot(a, {1, 1}, SnapshotReason::START, "int a;\n");
        VSCodeEvent edit;
        edit.filepath = a;
        edit.timestamp = now_timestamp() - std::chrono::hours(1);
        edit.offset = 7;
        edit.inserted = "int b;\n";
        events.store(edit);
        // The next start finds a line appended by another program.
        FileEvent changed;
        changed.filepath = a;
        changed.action = FileActions::Modified;
        changed.handler_type = FileEvent::Handlers::TRACKEDFILE;
        changed.incident_type = Incident::Types::FAST_INSERTION;
        changed.diff = "= int a;\n= int b;\n+ int c;\n";
        events.store(changed);
        events.store_snapshot(a, {1, 1}, SnapshotReason::START, "int a;\nint b;\nint c;\n");
        edit.timestamp = now_timestamp() + std::chrono::minutes(20);
        edit.offset = 0;
        edit.inserted = "// ";
        events.store(edit);
        // Then, while this run watches, another program rewrites it.
        events.store_snapshot(a, {1, 1}, SnapshotReason::FAST_INSERTION, "// int a;\nint d;\n");
        changed.diff = "= // int a;\n- int b;\n- int c;\n+ int d;\n";
        events.store(changed);
        edit.timestamp = now_timestamp() + std::chrono::minutes(40);
        edit.inserted = "x";
        events.store(edit);
    }
    // The live fast insertion was stored now, just after the first: it happened half an hour on.
    {
        sqlite3* conn = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &conn), SQLITE_OK);
        int const moved = sqlite3_exec(
            conn,
            "UPDATE file_events SET recorded_at = strftime('%Y-%m-%d %H:%M:%f', 'now', "
            "'+30 minutes') WHERE id = (SELECT MAX(id) FROM file_events)",
            nullptr, nullptr, nullptr);
        sqlite3_close(conn);
        ASSERT_EQ(moved, SQLITE_OK);
    }
    fs::path const page = dir / "report.html";
    ASSERT_NO_FATAL_FAILURE(write_page(project, page));
    std::string const dom = dumped_dom(page);
    auto const count = [&](std::string_view text) {
        std::size_t n = 0;
        for (auto at = dom.find(text); at != std::string::npos; at = dom.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    // One mark of each kind, each with its hover text, and the legend names both.
    EXPECT_EQ(count("class=\"between-runs\""), 1u) << dom;
    EXPECT_EQ(count("class=\"fast-insertion\""), 1u) << dom;
    EXPECT_EQ(count("<title>changed while no monitor ran, found at "), 1u) << dom;
    EXPECT_EQ(count("1 fast insertion (changed while no monitor ran)"), 1u) << dom;
    EXPECT_NE(dom.find("changed while no monitor ran</span>"), std::string::npos) << dom;
}

// A long folded list and a chart of many dots are kept as text in the page and built when wanted:
// the list when it is opened, the dots soon after the page opened; then they hold every item.
TEST_F(ReportPage, LongListsAndChartsAreBuiltWhenWanted) {
    constexpr int kMinutes = 250;
    {
        EventDB events(db.native());
        events.enable_group_commit(std::chrono::seconds(10));
        events.store_snapshot(a, {1, 1}, SnapshotReason::START, "");
        VSCodeEvent edit;
        edit.filepath = a;
        edit.timestamp = now_timestamp();
        edit.offset = 0;
        for (int i = 0; i < kMinutes; ++i) {
            edit.timestamp += std::chrono::minutes(1);
            edit.inserted = std::string(1, 'x');
            edit.is_copy_paste = false;
            events.store(edit);
            edit.timestamp += std::chrono::seconds(1);
            edit.inserted = fmt::format("<{}>", i);
            edit.is_copy_paste = true;
            events.store(edit);
        }
        events.commit_pending();
    }
    fs::path const page = dir / "report.html";
    ASSERT_NO_FATAL_FAILURE(write_page(project, page));
    std::string html = read_all(page);
    auto const count = [](std::string const& text, std::string_view what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    // Kept as text: no element of them in the markup as written.
    EXPECT_EQ(count(html, "<details id=\"deferred-"), 1u);
    EXPECT_EQ(count(html, "<g id=\"deferred-"), 2u);  // the file's chart and the whole record's
    // The page stays well-formed XML with its parts kept as text.
    auto const parsed = run_process({"/usr/bin/env", "python3", "-c",
                                     "import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])",
                                     page.native()});
    EXPECT_EQ(parsed.status, 0) << parsed.output;
    html.insert(html.rfind("</body>"),
                "<script>document.querySelectorAll('details[id]').forEach(function (d) "
                "{ d.open = true; });</script>\n");
    fs::path const opened = dir / "opened.html";
    std::ofstream(opened, std::ios::binary) << html;
    std::string const dom = dumped_dom(opened);
    EXPECT_EQ(count(dom, "<pre class=\"block o2\">"), static_cast<std::size_t>(kMinutes)) << dom;
    EXPECT_EQ(count(dom, "<pre class=\"block o2\">&lt;249&gt;</pre>"), 1u) << dom;
    EXPECT_EQ(count(dom, "1 character typed</title></circle>"), 2u * kMinutes) << dom;
    EXPECT_EQ(count(dom, "\" r=\"2\" fill=\"#b06bd0\"><title>"), 2u * kMinutes) << dom;
}
