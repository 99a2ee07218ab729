#pragma once

#include "app/env.hpp"

#include <filesystem>

// The application object: detects the environment and owns every long-lived component.
class Wardlet {
public:
    Wardlet(std::filesystem::path const& rootpath, bool use_logfile);
    Wardlet(Wardlet const&) = delete;
    Wardlet& operator=(Wardlet const&) = delete;
    ~Wardlet();

    // Runs the monitors on the calling thread until they end.
    void start();

    Env const& env() const { return env_; }

private:
    Env env_;
};
