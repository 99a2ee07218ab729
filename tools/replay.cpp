#include "tools/replay.hpp"

#include "index/text_edit.hpp"
#include "store/recorded_content.hpp"
#include "store/schema.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dtl/dtl.hpp>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Reads `count` decimal digits at `pos`; no value unless all of them are digits.
std::optional<int> digits_at(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The monitor matches editor paths to mirrored files by path equality (element by element), so
// "/p//a.c" reaches the mirror of "/p/a.c"; texts that are equal need no path built.
bool same_file(std::string_view text, fs::path const& file) {
    return text == file.native() || fs::path(text) == file;
}

void require_record(RecordReader const& reader, fs::path const& database) {
    sqlite3* conn = reader.conn();
    bool const complete = has_column(conn, "vscode_events", "change_offset") &&
                          has_column(conn, "snapshots", "content") &&
                          has_column(conn, "snapshots", "after_event_id") &&
                          has_column(conn, "snapshots", "recorded_at");
    if (!complete) {
        throw ReplayError(fmt::format(
            "the database {} keeps no change offsets and snapshots (it was written by an earlier "
            "monitor or with tables made elsewhere), so no file can be rebuilt from it",
            database.native()));
    }
}

struct SnapshotRow {
    std::int64_t id = 0;
    std::int64_t after_event_id = 0;
    std::string recorded_at;
    std::string reason;
    std::optional<std::int64_t> mirror_seq;  // none in rows stored before the mirror's order was
};

SnapshotRow find_snapshot(RecordReader const& reader, fs::path const& database,
                          fs::path const& file, std::optional<Timestamp> at) {
    bool const ordered = has_column(reader.conn(), "snapshots", "mirror_seq");
    Statement query(reader, ordered ? "SELECT id, filepath, recorded_at, after_event_id, reason, "
                                      "mirror_seq FROM snapshots ORDER BY id DESC"
                                    : "SELECT id, filepath, recorded_at, after_event_id, reason, "
                                      "NULL FROM snapshots ORDER BY id DESC");
    std::optional<SnapshotRow> earliest;
    while (query.next()) {
        if (!same_file(query.view(1), file)) {
            continue;
        }
        SnapshotRow row{
            query.integer(0), query.integer(3), query.bytes(2), query.bytes(4),
            query.is_null(5) ? std::nullopt : std::optional<std::int64_t>(query.integer(5))};
        std::optional<Timestamp> const recorded = parse_time(row.recorded_at);
        if (!recorded) {
            throw ReplayError(fmt::format("snapshot {} in {} has an unreadable recorded_at '{}'",
                                          row.id, database.native(), row.recorded_at));
        }
        if (!at || *recorded <= *at) {
            return row;
        }
        earliest = std::move(row);
    }
    if (!earliest) {
        throw ReplayError(
            fmt::format("no snapshot of {} in {}: the monitor never loaded it as a tracked file",
                        file.native(), database.native()));
    }
    throw ReplayError(fmt::format("{} is before the first snapshot of {} (recorded at {})",
                                  timestamp2str(*at), file.native(), earliest->recorded_at));
}

std::string snapshot_content(RecordReader const& reader, std::int64_t id) {
    Statement query(reader, "SELECT content FROM snapshots WHERE id = ?");
    sqlite3_bind_int64(query.get(), 1, id);
    query.next();
    return query.bytes(0);
}

}  // namespace

std::optional<Timestamp> parse_time(std::string_view text) {
    using namespace std::chrono;
    auto const year_v = digits_at(text, 0, 4);
    auto const month_v = digits_at(text, 5, 2);
    auto const day_v = digits_at(text, 8, 2);
    auto const hour_v = digits_at(text, 11, 2);
    auto const minute_v = digits_at(text, 14, 2);
    auto const second_v = digits_at(text, 17, 2);
    if (!year_v || !month_v || !day_v || !hour_v || !minute_v || !second_v || text[4] != '-' ||
        text[7] != '-' || (text[10] != ' ' && text[10] != 'T' && text[10] != 't') ||
        text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    std::size_t pos = 19;
    std::int64_t nanos = 0;
    if (pos < text.size() && text[pos] == '.') {
        std::size_t const first = ++pos;
        std::int64_t scale = 100'000'000;
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            nanos += (text[pos] - '0') * scale;
            scale /= 10;  // zero past the ninth digit: the rest is dropped
        }
        if (pos == first) {
            return std::nullopt;
        }
    }
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
        ++pos;
    }
    year_month_day const date{year{*year_v}, month{static_cast<unsigned>(*month_v)},
                              day{static_cast<unsigned>(*day_v)}};
    if (pos != text.size() || !date.ok() || *hour_v > 23 || *minute_v > 59 || *second_v > 59) {
        return std::nullopt;
    }
    return Timestamp{sys_days{date}} + hours{*hour_v} + minutes{*minute_v} + seconds{*second_v} +
           nanoseconds{nanos};
}

Replay replay_file(fs::path const& database, fs::path const& file, std::optional<Timestamp> at) {
    Replay replay;
    RecordReader const reader(database);
    require_record(reader, database);
    SnapshotRow const snapshot = find_snapshot(reader, database, file, at);
    replay.content = snapshot_content(reader, snapshot.id);
    replay.snapshot_id = snapshot.id;
    replay.snapshot_reason = snapshot.reason;
    replay.snapshot_recorded_at = snapshot.recorded_at;
    std::string& content = replay.content;
    std::optional<std::string> const until =
        at ? std::optional<std::string>(timestamp2str(*at)) : std::nullopt;
    auto const failed = for_each_edit_after(
        reader.conn(), file, {snapshot.after_event_id, snapshot.mirror_seq}, until,
        [&](RecordedEdit const& edit) {
            bool in_range = true;
            if (edit.deleted != 0) {
                in_range = delete_text(content, edit.offset, edit.deleted);
            }
            if (!edit.inserted.empty()) {
                in_range = insert_text(content, edit.offset, edit.inserted) && in_range;
            }
            ++(in_range ? replay.applied : replay.ignored);
        });
    if (failed) {
        throw ReplayError(
            fmt::format("cannot read the database {}: {}", database.native(), *failed));
    }
    return replay;
}

char const* origin_name(Origin origin) {
    static constexpr char const* NAMES[ORIGIN_COUNT] = {
        "initial", "typed", "pasted", "internal_copy", "undo_redo", "fast_insertion", "bulk"};
    return NAMES[static_cast<std::size_t>(origin)];
}

LabelledText::LabelledText(std::string content, Origin origin)
    : buffer_(std::move(content)),
      labels_(buffer_.size(), origin),
      gap_start_(buffer_.size()),
      gap_end_(buffer_.size()),
      fresh_(false) {}

void LabelledText::move_gap(std::size_t to) {
    if (to < gap_start_) {
        std::size_t const count = gap_start_ - to;
        std::memmove(buffer_.data() + gap_end_ - count, buffer_.data() + to, count);
        std::memmove(labels_.data() + gap_end_ - count, labels_.data() + to, count);
        gap_start_ -= count;
        gap_end_ -= count;
    } else if (to > gap_start_) {
        std::size_t const count = to - gap_start_;
        std::memmove(buffer_.data() + gap_start_, buffer_.data() + gap_end_, count);
        std::memmove(labels_.data() + gap_start_, labels_.data() + gap_end_, count);
        gap_start_ += count;
        gap_end_ += count;
    }
}

void LabelledText::make_room(std::size_t count) {
    if (gap_end_ - gap_start_ >= count) {
        return;
    }
    std::size_t const tail = buffer_.size() - gap_end_;
    std::size_t const gap = std::max<std::size_t>(count, size() / 2 + 4096);
    std::string buffer;
    buffer.reserve(gap_start_ + gap + tail);
    buffer.append(buffer_, 0, gap_start_);
    buffer.append(gap, '\0');
    buffer.append(buffer_, gap_end_, tail);
    std::vector<Origin> labels;
    labels.reserve(buffer.size());
    labels.insert(labels.end(), labels_.begin(),
                  labels_.begin() + static_cast<std::ptrdiff_t>(gap_start_));
    labels.insert(labels.end(), gap, Origin::initial);
    labels.insert(labels.end(), labels_.begin() + static_cast<std::ptrdiff_t>(gap_end_),
                  labels_.end());
    buffer_ = std::move(buffer);
    labels_ = std::move(labels);
    gap_end_ = gap_start_ + gap;
}

std::string LabelledText::text_at(std::uint64_t offset, std::uint64_t count) const {
    std::size_t const total = size();
    if (offset > total) {
        return {};
    }
    std::size_t const first = static_cast<std::size_t>(offset);
    std::size_t const last =
        first + static_cast<std::size_t>(std::min<std::uint64_t>(count, total - first));
    std::string text;
    if (first < gap_start_) {
        text.append(buffer_, first, std::min(last, gap_start_) - first);
    }
    if (last > gap_start_) {
        std::size_t const from = std::max(first, gap_start_);
        text.append(buffer_, from + (gap_end_ - gap_start_), last - from);
    }
    return text;
}

void LabelledText::refresh() const {
    if (fresh_) {
        return;
    }
    content_.assign(buffer_, 0, gap_start_);
    content_.append(buffer_, gap_end_);
    origins_.assign(labels_.begin(), labels_.begin() + static_cast<std::ptrdiff_t>(gap_start_));
    origins_.insert(origins_.end(), labels_.begin() + static_cast<std::ptrdiff_t>(gap_end_),
                    labels_.end());
    fresh_ = true;
}

std::string const& LabelledText::content() const {
    refresh();
    return content_;
}

std::vector<Origin> const& LabelledText::origins() const {
    refresh();
    return origins_;
}

bool LabelledText::apply(std::uint64_t offset, std::uint64_t deleted, std::string_view inserted,
                         Origin origin, std::string* removed) {
    bool in_range = true;
    if (deleted != 0) {
        std::size_t const before = size();
        if (offset > before) {
            in_range = false;
        } else {
            std::size_t const count =
                static_cast<std::size_t>(std::min<std::uint64_t>(deleted, before - offset));
            if (removed != nullptr) {
                removed->append(text_at(offset, count));
            }
            move_gap(static_cast<std::size_t>(offset));
            gap_end_ += count;
            fresh_ = fresh_ && count == 0;
        }
    }
    if (!inserted.empty()) {
        bool const inserted_here = offset <= size();
        if (inserted_here) {
            move_gap(static_cast<std::size_t>(offset));
            make_room(inserted.size());
            std::memcpy(buffer_.data() + gap_start_, inserted.data(), inserted.size());
            std::fill_n(labels_.begin() + static_cast<std::ptrdiff_t>(gap_start_), inserted.size(),
                        origin);
            gap_start_ += inserted.size();
            fresh_ = false;
        }
        in_range = inserted_here && in_range;
    }
    return in_range;
}

namespace {

// The length of the line end at the start of `text`: 2 for "\r\n", 1 for "\n" or "\r", else 0.
std::size_t line_end_at(std::string_view text) {
    if (text.starts_with("\r\n")) {
        return 2;
    }
    return !text.empty() && (text[0] == '\n' || text[0] == '\r') ? 1 : 0;
}

}  // namespace

bool LabelledText::switch_line_ends(std::uint64_t offset, std::uint64_t deleted,
                                    std::string_view inserted) {
    std::size_t const total = size();
    if (offset > total || deleted > total - offset || deleted == 0) {
        return false;
    }
    // With the gap at the offset, the text replaced lies whole just after it.
    move_gap(static_cast<std::size_t>(offset));
    std::string_view const old_text =
        std::string_view(buffer_).substr(gap_end_, static_cast<std::size_t>(deleted));
    if (old_text == inserted) {
        return false;
    }
    std::vector<Origin> origins;
    origins.reserve(inserted.size());
    std::size_t old_at = 0;
    std::size_t new_at = 0;
    while (old_at < old_text.size() && new_at < inserted.size()) {
        std::size_t const old_end = line_end_at(old_text.substr(old_at));
        std::size_t const new_end = line_end_at(inserted.substr(new_at));
        if ((old_end == 0) != (new_end == 0)) {
            return false;
        }
        if (old_end == 0 && old_text[old_at] != inserted[new_at]) {
            return false;
        }
        Origin const origin = labels_[gap_end_ + old_at];
        std::size_t const count = std::max<std::size_t>(new_end, 1);
        origins.insert(origins.end(), count, origin);
        old_at += std::max<std::size_t>(old_end, 1);
        new_at += count;
    }
    if (old_at != old_text.size() || new_at != inserted.size()) {
        return false;
    }
    gap_end_ += static_cast<std::size_t>(deleted);
    make_room(inserted.size());
    std::memcpy(buffer_.data() + gap_start_, inserted.data(), inserted.size());
    std::copy(origins.begin(), origins.end(),
              labels_.begin() + static_cast<std::ptrdiff_t>(gap_start_));
    gap_start_ += inserted.size();
    fresh_ = false;
    return true;
}

namespace {

// The lines of `text`, each with its line feed.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t const end = std::min(text.find('\n'), text.size() - 1) + 1;
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return lines;
}

}  // namespace

std::size_t LabelledText::reset(std::string content, Origin changed) {
    refresh();
    // The shared head and tail are cheap to find; only the span between them needs a line diff.
    ChangedSpan const span = changed_span(content_, content);
    std::vector<Origin> origins(content.size(), changed);
    std::copy_n(origins_.begin(), span.offset, origins.begin());
    std::size_t const tail = content.size() - span.offset - span.inserted;
    std::copy_n(origins_.end() - static_cast<std::ptrdiff_t>(tail), tail,
                origins.end() - static_cast<std::ptrdiff_t>(tail));
    std::size_t relabelled = span.inserted;
    if (span.removed != 0 && span.inserted != 0) {
        // Lines are compared whole: the span is widened to the lines it cuts into, so that a line
        // it covers only in part can still be found unchanged. The widening lies in the shared
        // head and tail, which keep their origins whatever the diff says.
        std::size_t const head_break =
            span.offset == 0 ? std::string::npos : content_.rfind('\n', span.offset - 1);
        std::size_t const from = head_break == std::string::npos ? 0 : head_break + 1;
        std::size_t const line_end = content_.find('\n', span.offset + span.removed);
        std::size_t const widen = line_end == std::string::npos
                                      ? content_.size() - span.offset - span.removed
                                      : line_end + 1 - span.offset - span.removed;
        std::string_view const old_mid =
            std::string_view(content_).substr(from, span.offset + span.removed + widen - from);
        std::string_view const new_mid =
            std::string_view(content).substr(from, span.offset + span.inserted + widen - from);
        dtl::Diff<std::string_view, std::vector<std::string_view>> diff(lines_of(old_mid),
                                                                        lines_of(new_mid));
        diff.compose();
        std::size_t old_at = from;
        std::size_t new_at = from;
        std::size_t const changed_end = span.offset + span.inserted;
        for (auto const& [line, info] : diff.getSes().getSequence()) {
            if (info.type == dtl::SES_COMMON) {
                std::size_t const first = std::max(new_at, span.offset);
                std::size_t const last = std::min(new_at + line.size(), changed_end);
                for (std::size_t at = first; at < last; ++at) {
                    origins[at] = origins_[old_at + (at - new_at)];
                }
                relabelled -= last > first ? last - first : 0;
            }
            old_at += info.type != dtl::SES_ADD ? line.size() : 0;
            new_at += info.type != dtl::SES_DELETE ? line.size() : 0;
        }
    }
    buffer_ = std::move(content);
    labels_ = std::move(origins);
    gap_start_ = gap_end_ = buffer_.size();
    fresh_ = false;
    return relabelled;
}

OriginCounts LabelledText::counts() const {
    OriginCounts counts{};
    for (std::size_t i = 0; i < labels_.size(); ++i) {
        if (i < gap_start_ || i >= gap_end_) {
            ++counts[static_cast<std::size_t>(labels_[i])];
        }
    }
    return counts;
}
