#include "app/log.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// How long the end of the process waits for an output that does not take the last lines.
constexpr std::chrono::seconds kExitFlushBound{2};
// Lines are written together, once per period while they come: a keystroke's lines, or a
// burst's, cost one write, and the threads that log seldom have to wake the writer.
constexpr std::chrono::milliseconds kBatchPeriod{100};
// After this long without a line the writer sleeps until the next one wakes it.
constexpr std::chrono::seconds kIdleAfter{1};
// Lines queued beyond this are written at once rather than at the end of the period.
constexpr std::size_t kEarlyWriteBytes = std::size_t{64} << 10;

using Clock = std::chrono::steady_clock;

class LogWriter {
public:
    LogWriter() {
        writer_ = std::thread([this] {
            // Named, so that per-thread views (top -H, /proc) tell the monitor's threads apart.
            pthread_setname_np(pthread_self(), "wardlet-log");
            run();
        });
        // Never joined: at exit it may be blocked on an output nobody reads; the process ends it.
        writer_.detach();
    }

    void push(std::string&& line) {
        std::lock_guard lock(mutex_);
        if (!queued_.empty() && queued_.size() + line.size() + 1 > LOG_QUEUE_BYTES) {
            ++dropped_;
            return;
        }
        queued_ += line;
        queued_ += '\n';
        ++pushed_;
        // Within a period the writer comes by itself; only a sleeping one, or a batch grown
        // large, needs a wake-up.
        if (idle_ || (!hurry_ && queued_.size() >= kEarlyWriteBytes)) {
            hurry_ = !idle_;
            wake_writer_.notify_one();
        }
    }

    bool flush(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        std::uint64_t const target = pushed_;
        if (written_ < target) {
            hurry_ = true;
            wake_writer_.notify_one();
        }
        return written_changed_.wait_for(lock, bound, [&] { return written_ >= target; });
    }

    std::uint64_t write_count() const { return writes_.load(std::memory_order_relaxed); }

private:
    void run() {
        std::string batch;
        std::unique_lock lock(mutex_);
        auto last_line = Clock::now();
        while (true) {
            if (queued_.empty() && Clock::now() - last_line >= kIdleAfter) {
                idle_ = true;
                wake_writer_.wait(lock, [&] { return !queued_.empty(); });
                idle_ = false;
            }
            // The lines that come meanwhile share the write.
            wake_writer_.wait_for(lock, kBatchPeriod, [&] { return hurry_; });
            hurry_ = false;
            if (queued_.empty()) {
                continue;
            }
            last_line = Clock::now();
            batch.clear();
            batch.swap(queued_);
            std::uint64_t const batch_end = pushed_;
            lock.unlock();
            write_all(batch);
            lock.lock();
            written_ = batch_end;
            written_changed_.notify_all();
            // The output took this batch: the lines it missed meanwhile are reported once, in
            // order.
            if (dropped_ != 0) {
                queued_ += fmt::format(
                    "[Wardlet] {} log lines dropped: the log output was not read in time\n",
                    dropped_);
                ++pushed_;
                dropped_ = 0;
            }
        }
    }

    // One write for the batch, continued only where the output took part of it. An output that
    // fails (its reader gone) loses the batch; the monitor goes on.
    void write_all(std::string_view data) {
        while (!data.empty()) {
            writes_.fetch_add(1, std::memory_order_relaxed);
            ssize_t const count = ::write(STDOUT_FILENO, data.data(), data.size());
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                return;
            }
            data.remove_prefix(static_cast<std::size_t>(count));
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_writer_;
    std::condition_variable written_changed_;
    std::string queued_;
    std::uint64_t pushed_ = 0;   // lines queued since the start
    std::uint64_t written_ = 0;  // of those, the lines written (or lost to a failed output)
    std::uint64_t dropped_ = 0;  // lines dropped since the last report
    bool idle_ = false;          // the writer sleeps until a line comes
    bool hurry_ = false;         // the writer is asked to write before its period ends
    std::atomic<std::uint64_t> writes_{0};
    std::thread writer_;
};

LogWriter& writer() {
    // Made once and never destroyed: threads may log until the very end of the process.
    static LogWriter* const instance = [] {
        auto* made = new LogWriter;
        std::atexit([] { log_flush(kExitFlushBound); });
        return made;
    }();
    return *instance;
}

}  // namespace

void log_text(std::string line) {
    writer().push(std::move(line));
}

bool log_flush(std::chrono::milliseconds bound) {
    return writer().flush(bound);
}

std::uint64_t log_write_count() {
    return writer().write_count();
}

namespace {

// Whether a C1 control starts at `at`: C1 controls arrive as UTF-8, 0xC2 then 0x80..0x9F.
bool c1_at(std::string_view text, std::size_t at) {
    return static_cast<unsigned char>(text[at]) == 0xC2 && at + 1 < text.size() &&
           static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

bool is_c0_or_del(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// Whether `text` holds a byte that `escaped` writes as an escape.
bool needs_escape(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_c0_or_del(static_cast<unsigned char>(text[i])) || c1_at(text, i)) {
            return true;
        }
    }
    return false;
}

// `text` with its control characters, C0, DEL and C1, written as \xNN escapes; a backslash stays
// as it is.
std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto const byte = static_cast<unsigned char>(text[i]);
        if (is_c0_or_del(byte)) {
            out += fmt::format("\\x{:02x}", byte);
        } else if (c1_at(text, i)) {
            out += fmt::format("\\xc2\\x{:02x}", static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace

auto fmt::formatter<LogSafeText>::format(LogSafeText const& safe,
                                         fmt::format_context& context) const
    -> decltype(context.out()) {
    // Every message is logged: the common one, with nothing to escape, is written as it is.
    if (!needs_escape(safe.text)) {
        return fmt::formatter<std::string_view>::format(safe.text, context);
    }
    return fmt::formatter<std::string_view>::format(escaped(safe.text), context);
}
