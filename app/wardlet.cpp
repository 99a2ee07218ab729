#include "app/wardlet.hpp"

#include "app/log.hpp"

Wardlet::Wardlet(std::filesystem::path const& rootpath, bool use_logfile)
    : env_(detect_env(rootpath, use_logfile)) {
    log_text(env_banner(env_));
}

Wardlet::~Wardlet() = default;

void Wardlet::start() {}
