#pragma once

#include <filesystem>
#include <ostream>
#include <string>

// The monitor as a systemd user service: the template unit wardlet@.service and one enabled
// instance per project, named by the project's escaped path. Failures throw TrackError
// (tools/track.hpp); a refused call writes nothing.

// A path escaped for a unit's instance name, as `systemd-escape --path` does: the path made
// normal, its outer "/" dropped, inner ones turned into "-", and every byte other than ASCII
// letters, digits, ":", "_" and a "." that does not begin the name written as "\xNN".
std::string systemd_escape_path(std::filesystem::path const& path);

// "wardlet@<escaped project path>.service".
std::string service_instance(std::filesystem::path const& proj_dir);

// The template unit's text with `wardlet_bin` as the program it starts.
std::string service_unit(std::filesystem::path const& wardlet_bin);

// The user's unit folder: $XDG_CONFIG_HOME/systemd/user, or ~/.config/systemd/user.
std::filesystem::path user_unit_dir();

// The monitor installed beside the running program (in a build tree: the one built with it).
std::filesystem::path monitor_beside_this_program();

// Writes the template into user_unit_dir() when it differs, then enables and starts the
// project's instance with `systemctl --user`. Refused, with nothing written, when no systemd user
// manager answers, the project is not prepared, or `wardlet_bin` is missing.
void enable_service(std::filesystem::path const& proj_dir, std::filesystem::path const& wardlet_bin,
                    std::ostream& out);
// Stops and disables the project's instance; the template goes once no instance is enabled.
void disable_service(std::filesystem::path const& proj_dir, std::ostream& out);
