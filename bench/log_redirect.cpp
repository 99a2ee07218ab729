#include "log_redirect.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <iostream>

int run_benchmarks_with_log(int argc, char** argv, char const* log_path) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    int const report_fd = dup(STDOUT_FILENO);
    int const log_fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (report_fd < 0 || log_fd < 0 || dup2(log_fd, STDOUT_FILENO) < 0) {
        std::cerr << "cannot redirect the log to " << log_path << "\n";
        return 1;
    }
    close(log_fd);
    {
        __gnu_cxx::stdio_filebuf<char> report_buf(report_fd, std::ios::out);
        std::ostream report(&report_buf);
        benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
        reporter.SetOutputStream(&report);
        reporter.SetErrorStream(&std::cerr);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        report.flush();
    }
    benchmark::Shutdown();
    return 0;
}
