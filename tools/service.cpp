#include "tools/service.hpp"

#include "app/file_content.hpp"
#include "tools/service_template.hpp"
#include "tools/track.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ProgramResult {
    int status;  // the exit status; 127 when the program could not be started
    std::string output;
};

// Runs a program found on PATH with its standard output and error captured together.
ProgramResult run_program(std::vector<std::string> argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {127, "cannot create a pipe"};
    }
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    pid_t const pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return {127, "cannot start " + argv.front()};
    }
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string output;
    char chunk[4096];
    for (ssize_t count; (count = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
        if (count > 0) {
            output.append(chunk, static_cast<std::size_t>(count));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128, output};
}

std::string first_line(std::string const& text) {
    auto const end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

bool on_path(std::string const& program) {
    char const* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "";
    while (!dirs.empty()) {
        auto const end = std::min(dirs.find(':'), dirs.size());
        fs::path const candidate = fs::path(dirs.substr(0, end)) / program;
        if (!dirs.substr(0, end).empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        dirs.remove_prefix(std::min(end + 1, dirs.size()));
    }
    return false;
}

// Refuses unless a systemd user manager answers for this user.
void require_user_manager() {
    if (!on_path("systemctl")) {
        throw TrackError("systemd is not present here (no systemctl on PATH); no unit written");
    }
    ProgramResult const probe = run_program({"systemctl", "--user", "show-environment"});
    if (probe.status != 0) {
        throw TrackError("no systemd user manager answers here (systemctl --user: " +
                         first_line(probe.output) + "); no unit written");
    }
}

void systemctl(std::vector<std::string> const& args) {
    std::vector<std::string> argv{"systemctl", "--user"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult const result = run_program(argv);
    if (result.status != 0) {
        std::string command;
        for (auto const& arg : argv) {
            command += (command.empty() ? "" : " ") + arg;
        }
        throw TrackError(command + " failed: " + first_line(result.output));
    }
}

bool any_instance_enabled(fs::path const& unit_dir) {
    std::error_code error;
    for (auto const& wants : fs::directory_iterator(unit_dir, error)) {
        if (!wants.path().native().ends_with(".wants")) {
            continue;
        }
        for (auto const& link : fs::directory_iterator(wants.path(), error)) {
            if (link.path().filename().native().starts_with("wardlet@")) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::string systemd_escape_path(fs::path const& path) {
    std::string text = path.lexically_normal().native();
    while (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
    std::size_t const start = text.find_first_not_of('/');
    if (start == std::string::npos) {
        return "-";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    for (std::size_t index = start; index < text.size(); ++index) {
        auto const byte = static_cast<unsigned char>(text[index]);
        bool const plain = (byte < 0x80 && std::isalnum(byte)) || byte == ':' || byte == '_' ||
                           (byte == '.' && index != start);
        if (byte == '/') {
            escaped += '-';
        } else if (plain) {
            escaped += static_cast<char>(byte);
        } else {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0xf];
        }
    }
    return escaped;
}

std::string service_instance(fs::path const& proj_dir) {
    return "wardlet@" + systemd_escape_path(editor_path(proj_dir)) + ".service";
}

std::string service_unit(fs::path const& wardlet_bin) {
    std::string unit = kServiceTemplate;
    std::string_view const placeholder = "@WARDLET_BIN@";
    unit.replace(unit.find(placeholder), placeholder.size(), wardlet_bin.native());
    return unit;
}

fs::path user_unit_dir() {
    char const* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config == '/') {
        return fs::path(config) / "systemd" / "user";
    }
    char const* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "") / ".config" / "systemd" / "user";
}

fs::path monitor_beside_this_program() {
    std::error_code error;
    fs::path const dir = fs::read_symlink("/proc/self/exe", error).parent_path();
    // Installed, the programs share one folder; in a build tree the monitor is in app/.
    fs::path const installed = dir / "wardlet";
    fs::path const built = (dir.parent_path() / "app" / "wardlet").lexically_normal();
    return ::access(installed.c_str(), X_OK) != 0 && ::access(built.c_str(), X_OK) == 0 ? built
                                                                                        : installed;
}

void enable_service(fs::path const& proj_dir, fs::path const& wardlet_bin, std::ostream& out) {
    fs::path const project = editor_path(proj_dir);
    std::error_code error;
    if (!fs::is_directory(project_files(project).data_dir, error)) {
        throw TrackError("'" + project.native() +
                         "' is not prepared (no .wardlet): track its files first");
    }
    if (::access(wardlet_bin.c_str(), X_OK) != 0) {
        throw TrackError("no monitor program '" + wardlet_bin.native() + "'");
    }
    require_user_manager();
    fs::path const unit_dir = user_unit_dir();
    fs::path const unit_file = unit_dir / "wardlet@.service";
    std::string const unit = service_unit(wardlet_bin);
    bool const existed = fs::exists(unit_file, error);
    fs::create_directories(unit_dir, error);
    if (!existed || read_file_content(unit_file) != unit) {
        write_atomically(unit_file, unit);
        out << "wrote     " << unit_file.native() << '\n';
    }
    std::string const instance = service_instance(project);
    try {
        systemctl({"daemon-reload"});
        systemctl({"enable", "--now", instance});
    } catch (TrackError const&) {
        if (!existed) {
            fs::remove(unit_file, error);
        }
        throw;
    }
    out << "enabled   " << instance << ": the monitor of " << project.native()
        << " runs from login on\n"
        << "its log:  journalctl --user -u '" << instance << "'\n";
}

void disable_service(fs::path const& proj_dir, std::ostream& out) {
    fs::path const project = editor_path(proj_dir);
    require_user_manager();
    std::string const instance = service_instance(project);
    systemctl({"disable", "--now", instance});
    out << "disabled  " << instance << '\n';
    fs::path const unit_dir = user_unit_dir();
    fs::path const unit_file = unit_dir / "wardlet@.service";
    std::error_code error;
    if (!any_instance_enabled(unit_dir) && fs::remove(unit_file, error)) {
        systemctl({"daemon-reload"});
        out << "removed   " << unit_file.native() << '\n';
    }
}
