#pragma once

#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <utility>

// Writes one whole log line to standard output in a single call and flushes it, so that lines
// from different threads never interleave and a piped log is complete up to its last line.
inline void log_text(std::string line) {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

template <typename... Args>
void log_line(fmt::format_string<Args...> format, Args&&... args) {
    log_text(fmt::format(format, std::forward<Args>(args)...));
}
