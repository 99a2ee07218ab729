#include "tools/service.hpp"
#include "tools/track.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char const* USAGE =
    "usage: wardlet-track <proj_dir> [--pattern <glob>]... [<file>...]  track files\n"
    "       wardlet-track <proj_dir> --remove <file>...                stop tracking files\n"
    "       wardlet-track <proj_dir> --remove-pattern <glob>...        drop patterns\n"
    "       wardlet-track <proj_dir> --list                            show what is tracked\n"
    "       wardlet-track <proj_dir> --service | --no-service          start at login, or not\n";

constexpr char const* HELP =
    "\n"
    "Prepares a project for the wardlet monitor and edits its file map\n"
    "<proj_dir>/.wardlet/tracked and its patterns <proj_dir>/.wardlet/patterns.\n"
    "\n"
    "Tracking creates <proj_dir>/.wardlet and its database wardlet.sqlite3 with the monitor's\n"
    "tables when they are missing, then writes one \"inode;device;path\" line per file, with the\n"
    "file's absolute path as the editor reports it (symbolic links are not resolved). A file\n"
    "already in the map, by its id or its path, has its line replaced; other lines are kept.\n"
    "A relative file name is taken from the current directory when the file exists there, and\n"
    "from <proj_dir> otherwise. A named file that does not exist or is not a regular file is\n"
    "refused, and then nothing is written.\n"
    "\n"
    "--pattern <glob> (or --pattern=<glob>, repeatable) records a gitignore-style glob relative\n"
    "to the project, such as 'src/**/*.py' or '*.c' (quote it), in .wardlet/patterns, and tracks\n"
    "at once every existing file that the recorded patterns match. A glob without '/' matches a\n"
    "name at any depth; '**' matches any number of folders; a leading '!' excludes. The folders\n"
    ".git, .wardlet, node_modules, build, dist, target, venv, .venv, __pycache__ and other\n"
    "dependency and build folders are not searched.\n"
    "--remove-pattern <glob>... drops recorded patterns; the files they matched stay tracked.\n"
    "--remove drops the lines of each file, by its path or, while it exists, by its id.\n"
    "--list prints the patterns, then every line of the map with its state:\n"
    "  ok        the file exists with that id\n"
    "  missing   no file at that path\n"
    "  replaced  the file at that path has another id now (track it again)\n"
    "  shadowed  a later line has the same id, and the monitor uses that one\n"
    "  unusable  the monitor skips the line\n"
    "--service installs the systemd user unit wardlet@.service (in ~/.config/systemd/user,\n"
    "running the wardlet beside this program) and enables and starts its instance for the\n"
    "project, so that the monitor runs from login, restarted when it fails, its output in the\n"
    "journal. --no-service stops and disables it. Both need a running systemd user manager.\n"
    "\n"
    "The map is replaced in one step, so a running monitor never reads half of it.\n"
    "Exit status: 0 done, 1 refused or failed (nothing written), 2 bad usage.\n";

int usage_error(std::string const& message) {
    std::cerr << "wardlet-track: " << message << '\n' << USAGE;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    enum class Command { track, remove, remove_pattern, list, service, no_service };
    std::optional<Command> command;
    bool options_done = false;
    std::vector<std::string> positional;
    std::vector<std::string> patterns;
    auto const choose = [&command](Command wanted) {
        if (command && *command != wanted) {
            return false;
        }
        command = wanted;
        return true;
    };
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (options_done || arg.size() < 2 || arg.front() != '-') {
            positional.emplace_back(arg);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE << HELP;
            return 0;
        }
        if (arg == "--") {
            options_done = true;
        } else if (arg == "--pattern" || arg.starts_with("--pattern=")) {
            if (arg == "--pattern" && index + 1 >= argc) {
                return usage_error("--pattern needs a glob");
            }
            patterns.emplace_back(arg == "--pattern" ? std::string_view(argv[++index])
                                                     : arg.substr(arg.find('=') + 1));
            if (!choose(Command::track)) {
                return usage_error("--pattern cannot be combined with other commands");
            }
        } else {
            static constexpr std::pair<std::string_view, Command> kCommands[] = {
                {"--remove", Command::remove},
                {"--remove-pattern", Command::remove_pattern},
                {"--list", Command::list},
                {"--service", Command::service},
                {"--no-service", Command::no_service}};
            auto const found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                            [&](auto const& known) { return known.first == arg; });
            if (found == std::end(kCommands)) {
                return usage_error("unknown option " + std::string(arg));
            }
            if (!choose(found->second)) {
                return usage_error(std::string(arg) + " cannot be combined with other commands");
            }
        }
    }
    if (positional.empty()) {
        return usage_error("no project directory given");
    }
    std::filesystem::path const proj_dir = positional.front();
    std::vector<std::string> const rest(positional.begin() + 1, positional.end());
    std::vector<std::filesystem::path> const files(rest.begin(), rest.end());
    Command const chosen = command.value_or(Command::track);
    bool const takes_nothing =
        chosen == Command::list || chosen == Command::service || chosen == Command::no_service;
    if (takes_nothing && !rest.empty()) {
        return usage_error("this command takes no files");
    }
    if (chosen == Command::track && files.empty() && patterns.empty()) {
        return usage_error("no files or patterns given");
    }
    if ((chosen == Command::remove || chosen == Command::remove_pattern) && rest.empty()) {
        return usage_error(chosen == Command::remove ? "no files given" : "no patterns given");
    }
    try {
        switch (chosen) {
            case Command::track:
                track_files(proj_dir, files, patterns, std::cout);
                break;
            case Command::remove:
                untrack_files(proj_dir, files, std::cout);
                break;
            case Command::remove_pattern:
                remove_patterns(proj_dir, rest, std::cout);
                break;
            case Command::list:
                list_tracked(proj_dir, std::cout);
                if (!std::filesystem::exists(project_files(proj_dir).map)) {
                    std::cerr << "wardlet-track: no file map yet; nothing is tracked\n";
                }
                break;
            case Command::service:
                enable_service(proj_dir, monitor_beside_this_program(), std::cout);
                break;
            case Command::no_service:
                disable_service(proj_dir, std::cout);
                break;
        }
    } catch (TrackError const& refusal) {
        std::string text = refusal.what();
        for (std::size_t start = 0; start < text.size();) {
            auto const end = std::min(text.find('\n', start), text.size());
            std::cerr << "wardlet-track: " << text.substr(start, end - start) << '\n';
            start = end + 1;
        }
        std::cerr << "wardlet-track: nothing written\n";
        return 1;
    } catch (std::exception const& error) {
        std::cerr << "wardlet-track: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
