#pragma once

#include <fmt/format.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// The monitor's log on standard output. A line is handed to one writer thread through a bounded
// queue and never waits for the output: whatever the reader of the log does, no thread of the
// monitor blocks on it. While lines come, the writer writes everything queued once per short
// period (100 ms), or sooner when much is queued, in one write() per batch, so lines keep their
// order and never interleave, and a keystroke's lines cost one write. log_flush() writes at once. A
// line that finds the queue full is dropped and counted; once the output takes lines again, one
// line says how many were dropped.

// Queues one whole line (the line end is added).
void log_text(std::string line);

template <typename... Args>
void log_line(fmt::format_string<Args...> format, Args&&... args) {
    log_text(fmt::format(format, std::forward<Args>(args)...));
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

// `text` from outside the monitor (editor messages, file names) made safe to print on a terminal:
// control characters, C0, DEL and C1, are written as \xNN escapes; a backslash stays as it is.
std::string log_safe(std::string_view text);
