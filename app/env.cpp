#include "app/env.hpp"

#include "app/log.hpp"
#include "app/vocabulary.hpp"

#include <sys/utsname.h>

std::string os_from_sysname(std::string_view sysname) {
    if (sysname == "Linux") {
        return OS::LINUX;
    }
    if (sysname == "Darwin") {
        return OS::OSX;
    }
    return OS::OTHER;
}

namespace {

std::string system_name() {
    utsname names{};
    if (uname(&names) != 0) {
        return {};
    }
    return names.sysname;
}

}  // namespace

Env detect_env(std::filesystem::path const& rootpath, bool use_logfile) {
    Env env;
    env.rootpath = rootpath;
    env.datapath = rootpath / ".wardlet";
    env.dbpath = env.datapath / "wardlet.sqlite3";
    if (use_logfile) {
        env.logpath = env.datapath / "wardlet.log";
    }
    env.os = os_from_sysname(system_name());
    env.editor = TextEditor::VSCODE;
    return env;
}

std::string env_banner(Env const& env) {
    return log_format(
        "=================\nenv detected: \n\trootpath={}\n\tdbpath={}\n\tlogpath={}\n\tos={}\n\t"
        "editor={}\n=================",
        env.rootpath.native(), env.dbpath.native(),
        env.logpath ? env.logpath->native() : std::string{}, env.os, env.editor);
}
