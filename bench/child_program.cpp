#include "child_program.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

bool run_program(std::vector<std::string> args, std::filesystem::path const& out) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t const child = fork();
    if (child == 0) {
        int const sink = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int const null = open("/dev/null", O_WRONLY);
        dup2(sink, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
