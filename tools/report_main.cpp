#include "tools/replay.hpp"
#include "tools/track.hpp"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

constexpr char const* USAGE = "usage: wardlet-report <proj_dir> --replay <file> [--at <time>]\n";

constexpr char const* HELP =
    "\n"
    "Reads what the wardlet monitor recorded in <proj_dir>/.wardlet/wardlet.sqlite3 (read-only;\n"
    "the monitor may be running).\n"
    "\n"
    "  --replay <file>  print <file> exactly as the monitor's mirror held it, byte for byte:\n"
    "                   its latest snapshot, then every editor change stored after it\n"
    "  --at <time>      the moment to rebuild (default: after the last stored change): a\n"
    "                   timestamp as the rows carry it, 2026-12-06 21:00:00.123456789, or an\n"
    "                   ISO 8601 UTC time, 2026-12-06T21:00:00Z, the fraction optional.\n"
    "                   Changes count by their timestamp, snapshots by their recorded_at.\n"
    "\n"
    "<file> is the path of a tracked file, relative to the current directory or absolute.\n"
    "Exit status: 0 done, 1 the file cannot be rebuilt (the reason is printed), 2 bad usage.\n";

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

constexpr std::string_view VALUE_OPTIONS[] = {"--replay", "--at"};

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
        for (std::string_view const option : VALUE_OPTIONS) {
            known = known || name == option;
        }
        if (!known) {
            return "unknown option " + std::string(arg);
        }
        std::string value;
        if (name.size() < arg.size()) {
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
            return run_replay(*options.proj_dir, *file, value("--at"));
        }
        if (value("--at")) {
            return usage_error("--at goes with --replay");
        }
        return usage_error("no report asked for; use --replay <file>");
    } catch (ReplayError const& error) {
        return failure(error.what());
    } catch (std::exception const& error) {
        return failure(error.what());
    }
}
