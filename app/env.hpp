#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The detected environment. Every path is derived textually from the project argument.
struct Env {
    std::filesystem::path rootpath;
    std::filesystem::path datapath;
    std::filesystem::path dbpath;
    std::optional<std::filesystem::path> logpath;
    std::string os;
    std::string editor;
};

// Maps a uname system name to an OS text: exactly "Linux" or "Darwin", anything else is OTHER.
std::string os_from_sysname(std::string_view sysname);

Env detect_env(std::filesystem::path const& rootpath, bool use_logfile);

// The multi-line environment banner, without its final line end.
std::string env_banner(Env const& env);
