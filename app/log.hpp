#pragma once

#include <fmt/format.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

// The monitor's log on standard output. A line is handed to one writer thread through a bounded
// queue and never waits for the output: whatever the reader of the log does, no thread of the
// monitor blocks on it. While lines come, the writer writes everything queued once per short
// period (100 ms), or sooner when much is queued, in one write() per batch, so lines keep their
// order and never interleave, and a keystroke's lines cost one write. log_flush() writes at once. A
// line that finds the queue full is dropped and counted; once the output takes lines again, one
// line says how many were dropped.

// Queues one whole line (the line end is added).
void log_text(std::string line);

// A text given to log_format, written safe to print on a terminal: its control characters, C0, DEL
// and C1, as \xNN escapes; a backslash stays as it is.
struct LogSafeText {
    std::string_view text;
};

template <>
struct fmt::formatter<LogSafeText> : fmt::formatter<std::string_view> {
    auto format(LogSafeText const& safe, fmt::format_context& context) const
        -> decltype(context.out());
};

namespace log_detail {
// Texts (file names, editor messages, SQLite's words) go out safe; other values as they are.
template <typename Arg>
decltype(auto) safe_arg(Arg const& arg) {
    if constexpr (std::is_convertible_v<Arg const&, std::string_view>) {
        return LogSafeText{arg};
    } else {
        return (arg);
    }
}
}  // namespace log_detail

// `format` with its arguments, every text among them made safe (LogSafeText): a file
// name or a message can neither break a log line in two nor drive the terminal that shows it.
// The lines the log is given are made with it.
template <typename... Args>
std::string log_format(fmt::format_string<Args...> format, Args const&... args) {
    return fmt::vformat(fmt::string_view(format),
                        fmt::make_format_args(log_detail::safe_arg(args)...));
}

template <typename... Args>
void log_line(fmt::format_string<Args...> format, Args const&... args) {
    log_text(log_format(format, args...));
}

// Waits until every line queued so far has been written, at most `bound`. True when it has.
// Also run at exit, so that a log read through a pipe is complete up to its last line.
bool log_flush(std::chrono::milliseconds bound = std::chrono::seconds(5));

// How many writes to the output the log has made so far (a batch of lines takes one, more only when
// the output takes it in parts).
std::uint64_t log_write_count();

// Bytes of queued lines above which a further line is dropped (a line finding the queue empty is
// always taken, however long).
inline constexpr std::size_t LOG_QUEUE_BYTES = std::size_t{1} << 20;
