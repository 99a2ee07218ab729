#include "tools/send.hpp"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr char const* USAGE = "usage: wardlet-send [--socket PATH] [--check] [FILE]\n";

constexpr char const* HELP =
    "\n"
    "Sends editor change messages to a running wardlet monitor, as the editor extension does:\n"
    "one JSON object per line, read from FILE or, without FILE or with -, from standard input.\n"
    "\n"
    "  --socket PATH  the monitor's socket (default /tmp/wardlet.sock)\n"
    "  --check        only check the lines, report every bad one, send nothing\n"
    "\n"
    "A message has the keys \"file\", \"type\", \"inserted\" (strings), \"deletedCount\",\n"
    "\"offset\" (numbers, offset -1 for none) and \"causedByUndoRedo\", \"causedByCopyPaste\",\n"
    "\"isSaved\" (true or false), for example:\n"
    "  {\"file\":\"/home/me/proj/a.c\",\"type\":\"change\",\"inserted\":\"x\",\"deletedCount\":0,\n"
    "   \"offset\":0,\"causedByUndoRedo\":false,\"causedByCopyPaste\":false,\"isSaved\":false}\n"
    "\n"
    "Each line is checked before it is sent. A bad line stops the run with its line number;\n"
    "the lines before it have been sent. Blank lines are skipped.\n"
    "Exit status: 0 all sent, 1 bad line or no monitor, 2 bad usage.\n";

std::string messages(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " message" : " messages");
}

int usage_error(std::string const& message) {
    std::cerr << "wardlet-send: " << message << '\n' << USAGE;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::string socket_path = DEFAULT_SOCKET_PATH;
    bool check_only = false;
    std::optional<std::string> file;
    for (int index = 1; index < argc; ++index) {
        std::string_view const arg = argv[index];
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE << HELP;
            return 0;
        }
        if (arg == "--socket") {
            if (index + 1 == argc) {
                return usage_error("--socket needs a path");
            }
            socket_path = argv[++index];
        } else if (arg.rfind("--socket=", 0) == 0) {
            socket_path = arg.substr(9);
        } else if (arg == "--check") {
            check_only = true;
        } else if (arg.size() > 1 && arg.front() == '-') {
            return usage_error("unknown option " + std::string(arg));
        } else if (file) {
            return usage_error("more than one FILE given");
        } else {
            file = std::string(arg);
        }
    }
    if (socket_path.empty()) {
        return usage_error("--socket needs a path");
    }

    std::ifstream opened;
    std::istream* in = &std::cin;
    std::string source = "stdin";
    if (file && *file != "-") {
        std::error_code error;
        if (std::filesystem::is_directory(*file, error)) {
            std::cerr << "wardlet-send: " << *file << " is a directory\n";
            return 1;
        }
        opened.open(*file, std::ios::binary);
        if (!opened) {
            std::cerr << "wardlet-send: cannot open " << *file << '\n';
            return 1;
        }
        in = &opened;
        source = *file;
    }

    if (check_only) {
        auto const [bad, count] = check_messages(*in);
        for (auto const& line : bad) {
            std::cerr << "wardlet-send: " << source << ':' << line.number << ": " << line.problem
                      << '\n';
        }
        if (!bad.empty()) {
            return 1;
        }
        std::cout << messages(count) << (count == 1 ? " is" : " are") << " valid\n";
        return 0;
    }

    try {
        MonitorConnection connection(socket_path);
        StreamResult const result =
            stream_messages(*in, [&](std::string_view batch) { connection.send(batch); });
        if (result.stopped) {
            std::cerr << "wardlet-send: " << source << ':' << result.stopped->number << ": "
                      << result.stopped->problem << '\n'
                      << "wardlet-send: stopped there; " << messages(result.sent)
                      << " before it sent\n";
            return 1;
        }
        std::cout << "sent " << messages(result.sent) << " to " << socket_path << '\n';
    } catch (SendError const& error) {
        std::cerr << "wardlet-send: " << error.what() << '\n';
        return 1;
    } catch (std::exception const& error) {
        std::cerr << "wardlet-send: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
