#include "tools/class_report.hpp"

#include "tools/track.hpp"

#include <fmt/format.h>

#include <set>

namespace fs = std::filesystem;

namespace {

std::string subject_name(fs::path const& record, bool directory, SubjectFrom from) {
    fs::path const path = record.lexically_normal();
    fs::path const clean = path.has_filename() ? path : path.parent_path();
    if (directory) {
        return fs::absolute(clean).filename().native();
    }
    if (from == SubjectFrom::file) {
        return clean.stem().native();
    }
    fs::path folder = fs::absolute(clean).parent_path();
    if (folder.filename() == ".wardlet") {
        folder = folder.parent_path();
    }
    return folder.filename().native();
}

// A name for a subject's page that stays in the output directory.
std::string page_name(std::string const& subject, std::set<std::string>& taken) {
    std::string base;
    for (char const c : subject) {
        bool const plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        base += plain ? c : '_';
    }
    if (base.empty() || base.front() == '.' || base == "index") {
        base = "subject_" + base;
    }
    std::string name = base + ".html";
    for (int n = 2; !taken.insert(name).second; ++n) {
        name = fmt::format("{}-{}.html", base, n);
    }
    return name;
}

SubjectSummary summarise(SessionReport const& report) {
    SubjectSummary row;
    row.files = report.files.size();
    for (FileReport const& file : report.files) {
        row.changes += file.changes;
        row.pastes += file.pastes.size();
        row.bulk += file.bulk.size();
        row.internal_copies += file.internal_copies.size();
        row.fast_insertions += file.fast_insertions.size();
        if (file.not_replayed.empty()) {
            row.final_size += file.final_content.size();
            for (std::size_t i = 0; i < ORIGIN_COUNT; ++i) {
                row.shares[i] += file.shares[i];
            }
        } else {
            ++row.not_replayed;
        }
    }
    row.sessions = report.shape.sessions().size();
    row.active = report.shape.active_time();
    return row;
}

double foreign_share(SubjectSummary const& row) {
    if (row.final_size == 0) {
        return 0;
    }
    std::size_t const foreign = row.shares[static_cast<std::size_t>(Origin::pasted)] +
                                row.shares[static_cast<std::size_t>(Origin::internal_copy)] +
                                row.shares[static_cast<std::size_t>(Origin::bulk)] +
                                row.shares[static_cast<std::size_t>(Origin::fast_insertion)];
    return static_cast<double>(foreign) / static_cast<double>(row.final_size);
}

constexpr char const* INDEX_STYLE = R"css(
body { font: 14px/1.45 system-ui, sans-serif; margin: 1.5em auto; max-width: 80em; color: #222; }
table { border-collapse: collapse; } th, td { padding: .2em .6em; border-bottom: 1px solid #e4e4e4; }
th { background: #f3f3f3; cursor: pointer; text-align: left; user-select: none; }
th[aria-sort=ascending]::after { content: " \25B2"; } th[aria-sort=descending]::after { content: " \25BC"; }
td.n { text-align: right; } .flag { background: #ffe1c2; border-radius: 3px; padding: 0 .3em; margin-right: .3em; }
.error { color: #a01010; }
)css";

// Clicking a column's head sorts by it (numbers largest first, names A to Z; again reverses).
// "#sort=<column>" or "#sort=-<column>" in the address sorts when the page opens.
constexpr char const* INDEX_SCRIPT = R"js(
(function () {
  "use strict";
  var table = document.getElementById("subjects");
  var heads = Array.prototype.slice.call(table.querySelectorAll("th"));
  function sortBy(key, descending) {
    var index = heads.findIndex(function (th) { return th.getAttribute("data-key") === key; });
    if (index < 0) return;
    var body = table.tBodies[0];
    var rows = Array.prototype.slice.call(body.rows);
    var numeric = heads[index].getAttribute("data-type") === "number";
    rows.sort(function (a, b) {
      var x = a.cells[index].getAttribute("data-value"), y = b.cells[index].getAttribute("data-value");
      var order = numeric ? Number(x) - Number(y) : x.localeCompare(y);
      return descending ? -order : order;
    });
    rows.forEach(function (row) { body.appendChild(row); });
    heads.forEach(function (th) { th.removeAttribute("aria-sort"); });
    heads[index].setAttribute("aria-sort", descending ? "descending" : "ascending");
  }
  heads.forEach(function (th) {
    th.addEventListener("click", function () {
      var numeric = th.getAttribute("data-type") === "number";
      var current = th.getAttribute("aria-sort");
      sortBy(th.getAttribute("data-key"),
             current ? current === "ascending" : numeric);
    });
  });
  var wanted = /sort=(-?)([a-z_]+)/.exec(location.hash);
  if (wanted) sortBy(wanted[2], wanted[1] === "-");
})();
)js";

void write_index(std::vector<SubjectSummary> const& rows, fs::path const& path) {
    std::string out =
        "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
        "<meta charset=\"utf-8\"/>\n<title>Wardlet class report</title>\n<style>";
    out += INDEX_STYLE;
    out += "</style>\n</head>\n<body>\n<h1>Wardlet class report</h1>\n";
    out += fmt::format(
        "<p>{}. Click a column's head to sort by it; a subject's name opens its own report. The "
        "export of every session is in <a href=\"progsnap2/MainTable.csv\">progsnap2/</a>.</p>\n",
        count_of(rows.size(), "subject", "subjects"));
    struct Column {
        char const* key;
        char const* head;
        bool number;
    };
    constexpr Column COLUMNS[] = {{"subject", "subject", false},
                                  {"files", "files", true},
                                  {"changes", "changes", true},
                                  {"size", "final size", true},
                                  {"shares", "how the bytes arrived", true},
                                  {"foreign", "foreign", true},
                                  {"pastes", "pastes", true},
                                  {"bulk", "bulk insertions", true},
                                  {"copies", "internal copies", true},
                                  {"fast", "fast insertions", true},
                                  {"sessions", "sessions", true},
                                  {"active", "active time", true},
                                  {"flags", "flags", false}};
    out += "<table id=\"subjects\">\n<thead><tr>";
    for (Column const& column : COLUMNS) {
        out += fmt::format("<th data-key=\"{}\" data-type=\"{}\">{}</th>", column.key,
                           column.number ? "number" : "text", column.head);
    }
    out += "</tr></thead>\n<tbody>\n";
    for (SubjectSummary const& row : rows) {
        std::string const name = html_escape(row.subject);
        std::string const link =
            row.page.empty() ? name
                             : fmt::format("<a href=\"{}\">{}</a>", html_escape(row.page), name);
        std::vector<std::string> flags;
        if (!row.error.empty()) {
            flags.push_back("unreadable");
        }
        if (row.pastes != 0) {
            flags.push_back("pastes");
        }
        if (row.bulk != 0) {
            flags.push_back("bulk insertions");
        }
        if (row.internal_copies != 0) {
            flags.push_back("internal copies");
        }
        if (row.fast_insertions != 0) {
            flags.push_back("fast insertions");
        }
        if (row.not_replayed != 0) {
            flags.push_back("not replayed");
        }
        std::string flag_html;
        for (std::string const& flag : flags) {
            flag_html += "<span class=\"flag\">" + flag + "</span>";
        }
        if (!row.error.empty()) {
            flag_html += "<span class=\"error\">" + html_escape(row.error) + "</span>";
        }
        double const foreign = foreign_share(row);
        auto const number = [](auto value, std::string const& shown) {
            return fmt::format("<td class=\"n\" data-value=\"{}\">{}</td>", value, shown);
        };
        out += fmt::format("<tr><td data-value=\"{}\">{}</td>", name, link);
        out += number(row.files, std::to_string(row.files));
        out += number(row.changes, std::to_string(row.changes));
        out += number(row.final_size, std::to_string(row.final_size));
        out +=
            fmt::format("<td data-value=\"{:.4f}\">{}</td>", foreign, share_bar(row.shares, 160));
        out += number(fmt::format("{:.4f}", foreign), fmt::format("{:.0f}%", 100 * foreign));
        out += number(row.pastes, std::to_string(row.pastes));
        out += number(row.bulk, std::to_string(row.bulk));
        out += number(row.internal_copies, std::to_string(row.internal_copies));
        out += number(row.fast_insertions, std::to_string(row.fast_insertions));
        out += number(row.sessions, std::to_string(row.sessions));
        out += number(row.active.count(), duration_text(row.active));
        out += fmt::format("<td data-value=\"{}\">{}</td></tr>\n", flags.size(), flag_html);
    }
    out += "</tbody>\n</table>\n";
    out += glossary_html();
    out += "<script>//<![CDATA[";
    out += INDEX_SCRIPT;
    out += "//]]></script>\n</body>\n</html>\n";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << out;
    if (!file.flush()) {
        throw RecordError("cannot write " + path.native());
    }
}

}  // namespace

fs::path project_of(SessionRecord const& record, std::vector<fs::path> const& tracked,
                    fs::path const& given) {
    std::vector<fs::path> paths = tracked;
    for (SnapshotRow const& snapshot : record.snapshots) {
        paths.emplace_back(snapshot.filepath);
    }
    if (paths.empty()) {
        for (FileRow const& row : record.files) {
            if (row.handler_type == "TRACKEDFILE") {
                paths.emplace_back(row.filepath);
            }
        }
    }
    for (fs::path const& path : paths) {
        fs::path const relative = path.lexically_relative(given);
        if (!given.empty() && !relative.empty() && *relative.begin() != "..") {
            return given;
        }
    }
    if (paths.empty()) {
        return given;
    }
    fs::path common = paths.front().parent_path();
    for (fs::path const& path : paths) {
        fs::path const parent = path.parent_path();
        fs::path shared;
        auto a = common.begin();
        auto p = parent.begin();
        for (; a != common.end() && p != parent.end() && *a == *p; ++a, ++p) {
            shared /= *a;
        }
        common = shared;
    }
    return common;
}

std::vector<SubjectSummary> write_class(ClassOptions const& options, std::ostream& log) {
    fs::create_directories(options.out_dir);
    ProgSnap2Writer export_writer(options.out_dir / "progsnap2", true);
    std::vector<SubjectSummary> rows;
    std::set<std::string> pages;
    std::set<std::string> subjects;
    for (fs::path const& record_path : options.records) {
        std::error_code error;
        bool const directory = fs::is_directory(record_path, error);
        std::string subject = subject_name(record_path, directory, options.subject_from);
        for (int n = 2; !subjects.insert(subject).second; ++n) {
            std::string const other =
                fmt::format("{}-{}", subject_name(record_path, directory, options.subject_from), n);
            log << fmt::format("wardlet-report: two records are named {}; {} is {}\n", subject,
                               record_path.native(), other);
            subject = other;
        }
        SubjectSummary row;
        try {
            fs::path database = record_path;
            fs::path given;
            std::vector<fs::path> tracked;
            if (directory) {
                ProjectFiles const files = project_files(record_path);
                database = files.database;
                given = editor_path(record_path);
                tracked = tracked_paths(files.map);
            } else if (record_path.parent_path().filename() == ".wardlet") {
                // A hand-in's whole data directory: its file map lies beside the database.
                tracked = tracked_paths(record_path.parent_path() / "tracked");
            }
            // Each record is loaded, analysed and written before the next is read.
            fs::path const project = project_of(load_outline(database), tracked, given);
            AnalysedRecord const analysed =
                analyse_record(database, project, tracked, Keep::everything, true, options.bulk);
            SessionRecord const& record = analysed.record;
            SessionReport const& report = analysed.report;
            row = summarise(report);
            row.page = page_name(subject, pages);
            std::ofstream page(options.out_dir / row.page, std::ios::binary | std::ios::trunc);
            write_html_report(record, report, page, options.times);
            if (!page.flush()) {
                throw RecordError("cannot write " + (options.out_dir / row.page).native());
            }
            export_writer.add(record, report, subject);
        } catch (RecordError const& problem) {
            row = SubjectSummary{};
            row.error = problem.what();
            log << "wardlet-report: " << problem.what() << '\n';
        }
        row.subject = subject;
        row.record = record_path;
        rows.push_back(std::move(row));
    }
    export_writer.finish();
    write_index(rows, options.out_dir / "index.html");
    return rows;
}
