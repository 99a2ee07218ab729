#include "report_record.hpp"

#include <gtest/gtest.h>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// The subjects' links in the index page's table, in the order of its rows.
std::vector<std::string> row_links(std::string const& dom) {
    std::vector<std::string> links;
    std::size_t at = dom.find("<tbody>");
    std::size_t const end = dom.find("</tbody>", at);
    std::string_view const open = "<tr><td data-value=\"";
    while (at != std::string::npos && (at = dom.find(open, at)) < end) {
        std::size_t const href = dom.find("<a href=\"", at);
        std::size_t const row_end = dom.find("</tr>", at);
        if (href < row_end) {
            std::size_t const from = href + 9;
            links.push_back(dom.substr(from, dom.find('"', from) - from));
        } else {
            links.emplace_back();
        }
        at = row_end;
    }
    return links;
}

}  // namespace

// Three records, two project directories and a hand-in's database file, make one index page,
// sortable in a real browser, a page per subject, and one export that Python's csv module reads
// with a SubjectID per record.
TEST(ReportClass, ThreeRecordsMakeAnIndexAPagePerSubjectAndOneExport) {
    if (std::string(CHROMIUM_BIN).empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    }
    TempDir dir;
    auto const make = [&](fs::path const& project, int pastes, bool bulk) {
        RecordedProject record(project);
        record.file("a.c", "");
        std::size_t at = 0;
        for (int i = 0; i < pastes; ++i) {
            record.edit("a.c", {.at_s = i * 1.0, .offset = at, .inserted = "p;\n", .paste = true});
            at += 3;
        }
        record.edit("a.c", {.at_s = 5, .offset = at, .inserted = "k"});
        if (bulk) {
            record.edit("a.c", {.at_s = 6, .offset = at + 1, .inserted = std::string(50, 'b')});
        }
        record.edit("a.c", {.at_s = 7, .saved = true});
        record.close();
    };
    make(dir / "ann", 2, false);
    make(dir / "bob", 0, true);
    make(dir / "handins" / "cy", 1, false);
    fs::path const out = dir / "class";
    auto const written = run_process({REPORT_BIN, "--class", out.native(), "--utc",
                                      (dir / "ann").native(), (dir / "bob").native(),
                                      (dir / "handins/cy/.wardlet/wardlet.sqlite3").native()});
    ASSERT_EQ(written.status, 0) << written.output;
    for (char const* page : {"index.html", "ann.html", "bob.html", "cy.html"}) {
        EXPECT_TRUE(fs::is_regular_file(out / page)) << page;
    }

    auto const dom = [&](std::string const& hash) {
        auto const dumped = run_process(
            {CHROMIUM_BIN, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + (dir / "profile").native(),
             "--virtual-time-budget=2000", "--dump-dom",
             "file://" + (out / "index.html").native() + hash},
            {}, std::chrono::seconds(120));
        EXPECT_EQ(dumped.status, 0) << dumped.output;
        return dumped.output;
    };
    EXPECT_EQ(row_links(dom("")), (std::vector<std::string>{"ann.html", "bob.html", "cy.html"}));
    EXPECT_EQ(row_links(dom("#sort=-pastes")),
              (std::vector<std::string>{"ann.html", "cy.html", "bob.html"}));
    EXPECT_EQ(row_links(dom("#sort=-bulk")),
              (std::vector<std::string>{"bob.html", "ann.html", "cy.html"}));
    std::string const by_name = dom("#sort=-subject");
    EXPECT_EQ(row_links(by_name), (std::vector<std::string>{"cy.html", "bob.html", "ann.html"}));
    EXPECT_TRUE(has(by_name, "aria-sort=\"descending\"")) << by_name;

    auto const parsed = run_process(
        {"/usr/bin/env", "python3", "-c",
         "import csv, json, sys\n"
         "rows = list(csv.DictReader(open(sys.argv[1] + '/MainTable.csv', newline='')))\n"
         "meta = dict(csv.reader(open(sys.argv[1] + '/DatasetMetadata.csv', newline='')))\n"
         "print(json.dumps({'rows': rows, 'meta': meta}))",
         (out / "progsnap2").native()});
    ASSERT_EQ(parsed.status, 0) << parsed.output;
    json const exported = json::parse(parsed.output);
    EXPECT_EQ(exported["meta"]["EventOrderScope"], "Restricted");
    EXPECT_EQ(exported["meta"]["EventOrderScopeColumns"], "SubjectID");
    std::map<std::string, std::vector<int>> orders;
    std::map<std::string, std::string> saved_states;
    int event = 0;
    for (json const& row : exported["rows"]) {
        EXPECT_EQ(row["EventID"], std::to_string(event++));
        EXPECT_EQ(row["CodeStateSection"], "a.c");
        std::string const subject = row["SubjectID"];
        orders[subject].push_back(std::stoi(row["Order"].get<std::string>()));
        if (row["EventType"] == "File.Save") {
            saved_states[subject] = read_file(out / "progsnap2" / "CodeStates" /
                                              row["CodeStateID"].get<std::string>() / "a.c");
        }
    }
    EXPECT_EQ(orders["ann"], (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(orders["bob"], (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(orders["cy"], (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(saved_states,
              (std::map<std::string, std::string>{
                  {"ann", "p;\np;\nk"}, {"bob", "k" + std::string(50, 'b')}, {"cy", "p;\nk"}}));
}

// A record that cannot be read gets its row with the reason; the others are written.
TEST(ReportClass, AnUnreadableRecordIsNamedAndTheOthersWritten) {
    TempDir dir;
    {
        RecordedProject record(dir / "ann");
        record.file("a.c", "x");
        record.close();
    }
    fs::create_directories(dir / "ghost");
    fs::path const out = dir / "class";
    auto const written = run_process(
        {REPORT_BIN, "--class", out.native(), (dir / "ann").native(), (dir / "ghost").native()});
    EXPECT_EQ(written.status, 1) << written.output;
    EXPECT_TRUE(has(written.output, "no database at")) << written.output;
    std::string const index = read_file(out / "index.html");
    EXPECT_TRUE(has(index, "<a href=\"ann.html\">ann</a>")) << index;
    EXPECT_TRUE(has(index, "<span class=\"flag\">unreadable</span>")) << index;
    EXPECT_FALSE(fs::exists(out / "ghost.html"));
}
