#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Runs the program at the path `args[0]` with the other arguments, its standard output to `out`
// (created or truncated) and its standard error discarded, and waits for it. True when it exited
// with status 0.
bool run_program(std::vector<std::string> args, std::filesystem::path const& out = "/dev/null");
