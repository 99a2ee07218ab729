#pragma once

#include "app/convert.hpp"
#include "tools/replay.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The shape of the work on a file, or on the whole record: how its size grew, the sessions of
// work, the rhythm of typing and how much was deleted against inserted. Fed change by change in
// the order of time, it keeps only what it shows, so a record can be read row by row.

// Work pauses longer than this end a session.
inline constexpr std::chrono::minutes SESSION_GAP{10};

struct WorkSession {
    Timestamp start;
    Timestamp end;  // the session's last change; end - start is its active time
    std::size_t changes = 0;
    std::size_t typed_bytes = 0;  // inserted by changes whose bytes count as typed
};

// The pauses between one keystroke and the next, counted in classes whose upper bounds these are
// (milliseconds); a pause longer than SESSION_GAP is a break, not a pause.
inline constexpr std::array<std::int64_t, 8> PAUSE_BOUNDS_MS{100,  250,  500,   1000,
                                                             2000, 5000, 30000, 600000};
// "< 100 ms", "100-250 ms", ..., "30 s-10 min".
char const* pause_class_name(std::size_t index);

struct SizePoint {
    Timestamp time;
    std::size_t size;
};

// Characters typed in one minute (time is the minute's start); minutes without typing are left out.
struct RatePoint {
    Timestamp minute;
    std::size_t characters;
};

// A keystroke: one character (one UTF-8 code point) inserted, nothing deleted.
bool is_keystroke(std::string_view inserted, std::uint64_t deleted);

// What the shape needs of a change's inserted text.
struct ChangeFigures {
    std::size_t bytes = 0;
    std::size_t characters = 0;  // UTF-8 code points
    bool keystroke = false;      // see is_keystroke
};
ChangeFigures figures_of(std::string_view inserted, std::uint64_t deleted);

class WorkShape {
public:
    // The size series keeps up to twice this many points, evenly thinned.
    static constexpr std::size_t SIZE_POINTS = 200;

    // An editor change other than a save, in time order, with the origin of the bytes it inserts.
    void add_change(Timestamp time, std::string_view inserted, std::uint64_t deleted,
                    Origin origin);
    void add_change(Timestamp time, ChangeFigures const& figures, std::uint64_t deleted,
                    Origin origin);
    // Forgets the changes, or the sizes, added so far (to add them again in another order).
    void clear_changes();
    void clear_sizes();
    // The size of the content after a change or a reset, in time order.
    void add_size(Timestamp time, std::size_t size);

    std::vector<WorkSession> const& sessions() const { return sessions_; }
    std::array<std::size_t, PAUSE_BOUNDS_MS.size()> const& pauses() const { return pauses_; }
    std::vector<RatePoint> const& rate() const { return rate_; }
    // The size over time: at most 2 * SIZE_POINTS + 1 points, the latest always among them.
    std::vector<SizePoint> sizes() const;
    std::size_t keystrokes() const { return keystrokes_; }
    std::uint64_t inserted() const { return inserted_; }
    std::uint64_t deleted() const { return deleted_; }
    // The sum of the sessions' active times.
    std::chrono::milliseconds active_time() const;

private:
    std::vector<WorkSession> sessions_;
    std::array<std::size_t, PAUSE_BOUNDS_MS.size()> pauses_{};
    std::vector<RatePoint> rate_;
    std::vector<SizePoint> sizes_;
    std::size_t size_stride_ = 1;  // every how many sizes one is kept
    std::optional<SizePoint> latest_size_;
    std::size_t sizes_seen_ = 0;
    bool last_was_keystroke_ = false;
    std::size_t keystrokes_ = 0;
    std::uint64_t inserted_ = 0;
    std::uint64_t deleted_ = 0;
};

// The total size of several files over time: the sum of their size series, each read as a step
// function from its first point.
std::vector<SizePoint> summed_sizes(std::vector<std::vector<SizePoint>> const& series);
