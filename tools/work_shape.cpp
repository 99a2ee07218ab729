#include "tools/work_shape.hpp"

#include <algorithm>
#include <map>

using namespace std::chrono;

char const* pause_class_name(std::size_t index) {
    static constexpr char const* NAMES[PAUSE_BOUNDS_MS.size()] = {
        "< 100 ms", "100-250 ms", "250-500 ms", "0.5-1 s",
        "1-2 s",    "2-5 s",      "5-30 s",     "30 s-10 min"};
    return NAMES[index];
}

bool is_keystroke(std::string_view inserted, std::uint64_t deleted) {
    if (deleted != 0 || inserted.empty()) {
        return false;
    }
    auto const lead = static_cast<unsigned char>(inserted[0]);
    std::size_t const length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    return inserted.size() == length;
}

ChangeFigures figures_of(std::string_view inserted, std::uint64_t deleted) {
    ChangeFigures figures{inserted.size(), 0, is_keystroke(inserted, deleted)};
    for (char const c : inserted) {
        figures.characters += (static_cast<unsigned char>(c) & 0xc0) != 0x80 ? 1 : 0;
    }
    return figures;
}

void WorkShape::add_change(Timestamp time, std::string_view inserted, std::uint64_t deleted,
                           Origin origin) {
    add_change(time, figures_of(inserted, deleted), deleted, origin);
}

void WorkShape::add_change(Timestamp time, ChangeFigures const& figures, std::uint64_t deleted,
                           Origin origin) {
    inserted_ += figures.bytes;
    deleted_ += deleted;
    bool const typed = origin == Origin::typed;
    bool const keystroke = typed && figures.keystroke;
    bool const new_session = sessions_.empty() || time - sessions_.back().end > SESSION_GAP;
    if (new_session) {
        sessions_.push_back({time, time, 0, 0});
    } else if (keystroke && last_was_keystroke_) {
        auto const pause = duration_cast<milliseconds>(time - sessions_.back().end).count();
        auto const bound = std::upper_bound(PAUSE_BOUNDS_MS.begin(), PAUSE_BOUNDS_MS.end(), pause);
        ++pauses_[std::min<std::size_t>(bound - PAUSE_BOUNDS_MS.begin(), pauses_.size() - 1)];
    }
    WorkSession& session = sessions_.back();
    session.end = std::max(session.end, time);
    ++session.changes;
    if (typed) {
        session.typed_bytes += figures.bytes;
        Timestamp const minute = floor<minutes>(time);
        if (figures.characters != 0) {
            if (rate_.empty() || rate_.back().minute != minute) {
                rate_.push_back({minute, 0});
            }
            rate_.back().characters += figures.characters;
        }
    }
    keystrokes_ += keystroke ? 1 : 0;
    last_was_keystroke_ = keystroke;
}

void WorkShape::clear_changes() {
    sessions_.clear();
    pauses_ = {};
    rate_.clear();
    last_was_keystroke_ = false;
    keystrokes_ = 0;
    inserted_ = 0;
    deleted_ = 0;
}

void WorkShape::clear_sizes() {
    sizes_.clear();
    size_stride_ = 1;
    latest_size_.reset();
    sizes_seen_ = 0;
}

void WorkShape::add_size(Timestamp time, std::size_t size) {
    if (sizes_seen_ % size_stride_ == 0) {
        sizes_.push_back({time, size});
        if (sizes_.size() > 2 * SIZE_POINTS) {
            // Every other point goes; those left are still evenly spaced in the changes.
            std::size_t kept = 0;
            for (std::size_t i = 0; i < sizes_.size(); i += 2) {
                sizes_[kept++] = sizes_[i];
            }
            sizes_.resize(kept);
            size_stride_ *= 2;
        }
    }
    latest_size_ = SizePoint{time, size};
    ++sizes_seen_;
}

std::vector<SizePoint> WorkShape::sizes() const {
    std::vector<SizePoint> points = sizes_;
    if (latest_size_ && (points.empty() || points.back().time != latest_size_->time ||
                         points.back().size != latest_size_->size)) {
        points.push_back(*latest_size_);
    }
    return points;
}

milliseconds WorkShape::active_time() const {
    nanoseconds total{0};
    for (WorkSession const& session : sessions_) {
        total += session.end - session.start;
    }
    return duration_cast<milliseconds>(total);
}

std::vector<SizePoint> summed_sizes(std::vector<std::vector<SizePoint>> const& series) {
    // Each point changes its file's contribution; the sum is kept at every moment any changes.
    std::multimap<Timestamp, std::pair<std::size_t, std::size_t>> changes;
    for (std::size_t file = 0; file < series.size(); ++file) {
        for (SizePoint const& point : series[file]) {
            changes.emplace(point.time, std::pair(file, point.size));
        }
    }
    std::vector<std::size_t> current(series.size(), 0);
    std::size_t total = 0;
    std::vector<SizePoint> sums;
    for (auto const& [time, change] : changes) {
        total = total - current[change.first] + change.second;
        current[change.first] = change.second;
        if (!sums.empty() && sums.back().time == time) {
            sums.back().size = total;
        } else {
            sums.push_back({time, total});
        }
    }
    return sums;
}
