#include "tools/replay.hpp"
#include "tools/report_render.hpp"
#include "tools/session_record.hpp"
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
    "cannot be written (the reason is printed), 2 bad usage.\n";

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
    std::optional<std::string> proj_dir;
    std::map<std::string, std::string, std::less<>> values;
};

constexpr std::string_view VALUE_OPTIONS[] = {"--replay", "--at", "--html", "--progsnap2",
                                              "--subject"};
// Options without a value; they are entered with the value "1".
constexpr std::string_view FLAG_OPTIONS[] = {"--json"};

// The parsed command line, or the message of a usage error.
std::variant<Options, std::string> parse_options(int argc, char** argv) {
    Options options;
    bool options_done = false;
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (options_done || arg.size() < 2 || arg.front() != '-') {
            if (options.proj_dir) {
                return "more than one project directory given: " + std::string(arg);
            }
            options.proj_dir = std::string(arg);
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

std::vector<std::filesystem::path> tracked_paths(std::filesystem::path const& map) {
    std::vector<std::filesystem::path> paths;
    std::ifstream in(map, std::ios::binary);
    std::string const text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (MapLine const& line : map_lines(text)) {
        if (line.fid) {
            paths.push_back(line.filepath);
        }
    }
    return paths;
}

int run_report(std::filesystem::path const& proj_dir, bool as_json,
               std::optional<std::string> const& html, std::optional<std::string> const& progsnap2,
               std::string const& subject) {
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
    SessionRecord const record = load_session(files.database);
    SessionReport const report = analyse_session(record, editor_path(proj_dir),
                                                 tracked_paths(files.map), progsnap2.has_value());
    if (as_json) {
        std::cout << json_report(record, report)
                         .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << '\n';
    } else {
        write_text_report(record, report, std::cout);
    }
    if (html) {
        std::ofstream page(*html, std::ios::binary | std::ios::trunc);
        write_html_report(record, report, page);
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
    if (!options.proj_dir) {
        return usage_error("no project directory given");
    }
    auto const value = [&](std::string_view name) -> std::optional<std::string> {
        auto const it = options.values.find(name);
        return it == options.values.end() ? std::nullopt : std::optional(it->second);
    };
    try {
        if (auto const file = value("--replay")) {
            for (char const* report_option : {"--json", "--html", "--progsnap2", "--subject"}) {
                if (value(report_option)) {
                    return usage_error(std::string(report_option) + " does not go with --replay");
                }
            }
            return run_replay(*options.proj_dir, *file, value("--at"));
        }
        if (value("--at")) {
            return usage_error("--at goes with --replay");
        }
        return run_report(*options.proj_dir, value("--json").has_value(), value("--html"),
                          value("--progsnap2"), value("--subject").value_or(login_name()));
    } catch (RecordError const& error) {
        return failure(error.what());
    } catch (std::exception const& error) {
        return failure(error.what());
    }
}
