#include "tools/class_report.hpp"
#include "tools/replay.hpp"
#include "tools/report_render.hpp"
#include "tools/session_record.hpp"
#include "tools/submission_check.hpp"
#include "tools/track.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

constexpr char const* USAGE =
    "usage: wardlet-report <proj_dir> [--json] [--html FILE] [--progsnap2 DIR] [--subject NAME]\n"
    "                      [--bulk-threshold BYTES[,LINES]] [--utc]\n"
    "       wardlet-report <proj_dir> --verify <dir>\n"
    "       wardlet-report --class OUT_DIR [--subject-from folder|file] RECORD...\n"
    "       wardlet-report <proj_dir> --replay <file> [--at <time>]\n";

constexpr char const* HELP =
    "\n"
    "Reads what the wardlet monitor recorded in <proj_dir>/.wardlet/wardlet.sqlite3 (read-only;\n"
    "the monitor may be running).\n"
    "\n"
    "Without --replay, a report of the whole record, per tracked file: editor changes, bytes\n"
    "inserted and deleted, pastes, undo/redo changes, internal copies, saves, first and last\n"
    "activity, fast insertions with their diffs, and how the bytes of the final content arrived\n"
    "(typed, pasted, internal copy, fast insertion, undo/redo, or there from the start).\n"
    "\n"
    "  (default)        the report as plain text on standard output\n"
    "  --json           the report as one JSON document on standard output instead\n"
    "  --html FILE      also write a self-contained page: timelines, diffs, replay players\n"
    "  --progsnap2 DIR  also export the session in the ProgSnap2 layout into DIR\n"
    "  --subject NAME   the SubjectID of the export (default: the login name)\n"
    "  --bulk-threshold BYTES[,LINES]\n"
    "                   an insertion in one change, no paste and no undo/redo, counts as a bulk\n"
    "                   insertion from BYTES bytes on, or when it puts text on LINES lines or\n"
    "                   more (default 40,2; 0 turns a criterion off)\n"
    "  --utc            times in UTC (default: the local zone, TZ)\n"
    "\n"
    "  --verify <dir>   check a handed-in copy of the project: every tracked file's final\n"
    "                   content in the record against the file of the same path under <dir>:\n"
    "                   same, differs (with the line diff), missing from the submission, not in\n"
    "                   the record. Exit status 0 only when all are the same, 3 otherwise.\n"
    "\n"
    "  --class OUT_DIR  a whole class: each RECORD a project directory or a database file.\n"
    "                   Writes OUT_DIR/index.html (a row per subject, sortable), a page per\n"
    "                   subject beside it and one ProgSnap2 export, OUT_DIR/progsnap2/, with a\n"
    "                   SubjectID per record. Records are read one at a time.\n"
    "  --subject-from folder|file\n"
    "                   name subjects by the record's folder (default; .wardlet passed over) or\n"
    "                   by the database file's name without its extension\n"
    "\n"
    "  --replay <file>  print <file> exactly as the monitor's mirror held it, byte for byte:\n"
    "                   its latest snapshot, then every editor change stored after it\n"
    "  --at <time>      the moment to rebuild (default: after the last stored change): a\n"
    "                   timestamp as the rows carry it, 2026-12-06 21:00:00.123456789, or an\n"
    "                   ISO 8601 UTC time, 2026-12-06T21:00:00Z, the fraction optional.\n"
    "                   Changes count by their timestamp, snapshots by their recorded_at.\n"
    "\n"
    "<file> is the path of a tracked file, relative to the current directory or absolute.\n"
    "Exit status: 0 done, 1 the record cannot be read, a file cannot be rebuilt or an output\n"
    "cannot be written (the reason is printed), 2 bad usage, 3 a submission that does not match.\n";

int usage_error(std::string const& message) {
    std::cerr << "wardlet-report: " << message << '\n' << USAGE;
    return 2;
}

int failure(std::string const& message) {
    std::cerr << "wardlet-report: " << message << '\n';
    return 1;
}

// Options that take a value, as "--name value" or "--name=value". Report modes and their
// settings alike are entered here.
struct Options {
    std::vector<std::string> operands;  // project directories, or records for --class
    std::map<std::string, std::string, std::less<>> values;
};

constexpr std::string_view VALUE_OPTIONS[] = {
    "--replay", "--at",     "--html",  "--progsnap2",     "--subject",
    "--verify", "--class", "--subject-from", "--bulk-threshold"};
// Options without a value; they are entered with the value "1".
constexpr std::string_view FLAG_OPTIONS[] = {"--json", "--utc"};

// The parsed command line, or the message of a usage error.
std::variant<Options, std::string> parse_options(int argc, char** argv) {
    Options options;
    bool options_done = false;
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (options_done || arg.size() < 2 || arg.front() != '-') {
            options.operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string_view const name = arg.substr(0, arg.find('='));
        bool known = false;
        bool flag = false;
        for (std::string_view const option : VALUE_OPTIONS) {
            known = known || name == option;
        }
        for (std::string_view const option : FLAG_OPTIONS) {
            flag = flag || arg == option;
        }
        if (!known && !flag) {
            return "unknown option " + std::string(arg);
        }
        std::string value;
        if (flag) {
            value = "1";
        } else if (name.size() < arg.size()) {
            value = std::string(arg.substr(name.size() + 1));
        } else if (index + 1 < argc) {
            value = argv[++index];
        } else {
            return std::string(name) + " needs a value";
        }
        if (!options.values.try_emplace(std::string(name), value).second) {
            return std::string(name) + " given twice";
        }
    }
    return options;
}

int run_replay(std::filesystem::path const& proj_dir, std::string const& file,
               std::optional<std::string> const& at_text) {
    if (file.empty()) {
        return usage_error("--replay needs a file");
    }
    std::optional<Timestamp> at;
    if (at_text) {
        at = parse_time(*at_text);
        if (!at) {
            return usage_error("--at: '" + *at_text +
                               "' is not a time such as 2026-12-06T21:00:00Z or "
                               "2026-12-06 21:00:00.123456789 (UTC)");
        }
    }
    Replay const replay = replay_file(project_files(proj_dir).database, editor_path(file), at);
    std::cout.write(replay.content.data(), static_cast<std::streamsize>(replay.content.size()));
    std::cout.flush();
    if (!std::cout) {
        return failure("cannot write to standard output");
    }
    return 0;
}

// The login name of the user running the tool, for the export's SubjectID.
std::string login_name() {
    if (passwd const* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    char const* user = std::getenv("USER");
    return user != nullptr && *user != '\0' ? user : "unknown";
}

// "BYTES" or "BYTES,LINES".
std::optional<BulkThreshold> parse_bulk_threshold(std::string const& text) {
    BulkThreshold threshold;
    std::size_t const comma = text.find(',');
    auto const number = [](std::string const& digits, std::size_t& value) {
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        value = std::stoul(digits);
        return true;
    };
    if (!number(text.substr(0, comma), threshold.bytes)) {
        return std::nullopt;
    }
    if (comma != std::string::npos && !number(text.substr(comma + 1), threshold.lines)) {
        return std::nullopt;
    }
    return threshold;
}

struct ReportSettings {
    BulkThreshold bulk;
    TimeFormat times;
};

int run_verify(std::filesystem::path const& proj_dir, std::string const& submission,
               ReportSettings const& settings) {
    if (submission.empty()) {
        return usage_error("--verify needs a directory");
    }
    if (!std::filesystem::is_directory(submission)) {
        return failure("no submission directory at " + submission);
    }
    ProjectFiles const files = project_files(proj_dir);
    AnalysedRecord const analysed =
        analyse_record(files.database, editor_path(proj_dir), tracked_paths(files.map),
                       Keep::summary, false, settings.bulk);
    auto const checks = check_submission(analysed.report, submission);
    write_checks(checks, submission, std::cout);
    std::cout.flush();
    if (!std::cout) {
        return failure("cannot write to standard output");
    }
    return all_same(checks) ? 0 : 3;
}

int run_class(std::string const& out_dir, std::vector<std::string> const& records,
              std::optional<std::string> const& subject_from, ReportSettings const& settings) {
    if (out_dir.empty()) {
        return usage_error("--class needs an output directory");
    }
    if (records.empty()) {
        return usage_error("--class needs at least one record");
    }
    ClassOptions options;
    options.out_dir = out_dir;
    for (std::string const& record : records) {
        options.records.emplace_back(record);
    }
    if (subject_from && *subject_from == "file") {
        options.subject_from = SubjectFrom::file;
    } else if (subject_from && *subject_from != "folder") {
        return usage_error("--subject-from takes folder or file");
    }
    options.bulk = settings.bulk;
    options.times = settings.times;
    auto const rows = write_class(options, std::cerr);
    std::size_t unread = 0;
    for (SubjectSummary const& row : rows) {
        unread += row.error.empty() ? 0 : 1;
    }
    std::cout << "wrote " << (std::filesystem::path(out_dir) / "index.html").native() << ": "
              << count_of(rows.size(), "subject", "subjects");
    if (unread != 0) {
        std::cout << ", " << unread << " of them unreadable";
    }
    std::cout << '\n';
    return unread == 0 ? 0 : 1;
}

int run_report(std::filesystem::path const& proj_dir, bool as_json,
               std::optional<std::string> const& html, std::optional<std::string> const& progsnap2,
               std::string const& subject, ReportSettings const& settings) {
    if ((html && html->empty()) || (progsnap2 && progsnap2->empty())) {
        return usage_error("--html and --progsnap2 need a path");
    }
    if (subject.empty()) {
        return usage_error("--subject needs a name");
    }
    ProjectFiles const files = project_files(proj_dir);
    if (!std::filesystem::is_directory(proj_dir)) {
        return failure("no project directory at " + proj_dir.native());
    }
    // The page and the export show every row; text and JSON only what they list.
    bool const every_row = html.has_value() || progsnap2.has_value();
    AnalysedRecord const analysed = analyse_record(
        files.database, editor_path(proj_dir), tracked_paths(files.map),
        every_row ? Keep::everything : Keep::summary, progsnap2.has_value(), settings.bulk);
    SessionRecord const& record = analysed.record;
    SessionReport const& report = analysed.report;
    if (as_json) {
        std::cout << json_report(record, report)
                         .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << '\n';
    } else {
        write_text_report(record, report, std::cout, settings.times);
    }
    if (html) {
        std::ofstream page(*html, std::ios::binary | std::ios::trunc);
        write_html_report(record, report, page, settings.times);
        if (!page.flush()) {
            return failure("cannot write " + *html);
        }
    }
    if (progsnap2) {
        write_progsnap2(record, report, *progsnap2, subject);
    }
    std::cout.flush();
    if (!std::cout) {
        return failure("cannot write to standard output");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (arg == "--") {
            break;
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE << HELP;
            return 0;
        }
    }
    auto parsed = parse_options(argc, argv);
    if (auto const* problem = std::get_if<std::string>(&parsed)) {
        return usage_error(*problem);
    }
    Options const& options = std::get<Options>(parsed);
    auto const value = [&](std::string_view name) -> std::optional<std::string> {
        auto const it = options.values.find(name);
        return it == options.values.end() ? std::nullopt : std::optional(it->second);
    };
    ReportSettings settings;
    if (auto const bulk = value("--bulk-threshold")) {
        auto const threshold = parse_bulk_threshold(*bulk);
        if (!threshold) {
            return usage_error("--bulk-threshold: '" + *bulk +
                               "' is not BYTES or BYTES,LINES such as 40,2");
        }
        settings.bulk = *threshold;
    }
    settings.times = TimeFormat(value("--utc").has_value());
    // The settings each mode takes besides its own.
    auto const refuse = [&](char const* mode, std::vector<char const*> const& others) -> int {
        for (char const* other : others) {
            if (value(other)) {
                return usage_error(std::string(other) + " does not go with " + mode);
            }
        }
        return 0;
    };
    try {
        if (auto const out_dir = value("--class")) {
            if (int const status = refuse("--class", {"--replay", "--at", "--json", "--html",
                                                      "--progsnap2", "--subject", "--verify"})) {
                return status;
            }
            return run_class(*out_dir, options.operands, value("--subject-from"), settings);
        }
        if (value("--subject-from")) {
            return usage_error("--subject-from goes with --class");
        }
        if (options.operands.empty()) {
            return usage_error("no project directory given");
        }
        if (options.operands.size() > 1) {
            return usage_error("more than one project directory given: " + options.operands[1]);
        }
        std::filesystem::path const proj_dir = options.operands.front();
        if (auto const file = value("--replay")) {
            if (int const status =
                    refuse("--replay", {"--json", "--html", "--progsnap2", "--subject", "--verify",
                                        "--bulk-threshold", "--utc"})) {
                return status;
            }
            return run_replay(proj_dir, *file, value("--at"));
        }
        if (value("--at")) {
            return usage_error("--at goes with --replay");
        }
        if (auto const submission = value("--verify")) {
            if (int const status =
                    refuse("--verify", {"--json", "--html", "--progsnap2", "--subject"})) {
                return status;
            }
            return run_verify(proj_dir, *submission, settings);
        }
        return run_report(proj_dir, value("--json").has_value(), value("--html"),
                          value("--progsnap2"), value("--subject").value_or(login_name()),
                          settings);
    } catch (RecordError const& error) {
        return failure(error.what());
    } catch (std::exception const& error) {
        return failure(error.what());
    }
}
