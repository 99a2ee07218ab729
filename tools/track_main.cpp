#include "tools/track.hpp"

#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char const* USAGE =
    "usage: wardlet-track <proj_dir> <file>...           track files\n"
    "       wardlet-track <proj_dir> --remove <file>...  stop tracking files\n"
    "       wardlet-track <proj_dir> --list              show the tracked files\n";

constexpr char const* HELP =
    "\n"
    "Prepares a project for the wardlet monitor and edits its file map\n"
    "<proj_dir>/.wardlet/tracked.\n"
    "\n"
    "Tracking creates <proj_dir>/.wardlet and its database wardlet.sqlite3 with the monitor's\n"
    "tables when they are missing, then writes one \"inode;device;path\" line per file, with the\n"
    "file's absolute path as the editor reports it (symbolic links are not resolved). A file\n"
    "already in the map, by its id or its path, has its line replaced; other lines are kept.\n"
    "A file that does not exist or is not a regular file is refused, and then nothing is written.\n"
    "\n"
    "--remove drops the lines of each file, by its path or, while it exists, by its id.\n"
    "--list prints every line of the map with its state:\n"
    "  ok        the file exists with that id\n"
    "  missing   no file at that path\n"
    "  replaced  the file at that path has another id now (track it again)\n"
    "  shadowed  a later line has the same id, and the monitor uses that one\n"
    "  unusable  the monitor skips the line\n"
    "\n"
    "The map is replaced in one step, so a running monitor never reads half of it.\n"
    "Exit status: 0 done, 1 refused or failed (nothing written), 2 bad usage.\n";

int usage_error(std::string const& message) {
    std::cerr << "wardlet-track: " << message << '\n' << USAGE;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    enum class Command { track, remove, list } command = Command::track;
    bool options_done = false;
    std::vector<std::filesystem::path> positional;
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (!options_done && (arg == "--help" || arg == "-h")) {
            std::cout << USAGE << HELP;
            return 0;
        }
        if (!options_done && (arg == "--remove" || arg == "--list")) {
            Command const wanted = arg == "--remove" ? Command::remove : Command::list;
            if (command != Command::track && command != wanted) {
                return usage_error("--remove and --list cannot be combined");
            }
            command = wanted;
        } else if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && arg.size() > 1 && arg.front() == '-') {
            return usage_error("unknown option " + std::string(arg));
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.empty()) {
        return usage_error("no project directory given");
    }
    std::filesystem::path const proj_dir = positional.front();
    std::vector<std::filesystem::path> const files(positional.begin() + 1, positional.end());
    if (command == Command::list && !files.empty()) {
        return usage_error("--list takes no files");
    }
    if (command != Command::list && files.empty()) {
        return usage_error("no files given");
    }
    try {
        switch (command) {
            case Command::track:
                track_files(proj_dir, files, std::cout);
                break;
            case Command::remove:
                untrack_files(proj_dir, files, std::cout);
                break;
            case Command::list:
                list_tracked(proj_dir, std::cout);
                if (!std::filesystem::exists(project_files(proj_dir).map)) {
                    std::cerr << "wardlet-track: no file map yet; nothing is tracked\n";
                }
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
