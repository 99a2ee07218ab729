#pragma once

#include <stdexcept>

// Raised when the monitor cannot run at all (an unusable database, a missing home directory, a
// socket that cannot be served). Its reason has already been logged; the entry point ends the
// process with status 1.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
