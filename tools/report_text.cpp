#include "tools/report_render.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <ctime>

namespace {

// Every line of `text` behind `indent`.
std::string indented(std::string_view text, std::string_view indent) {
    std::string out;
    while (!text.empty()) {
        std::size_t const end = std::min(text.find('\n'), text.size());
        out += fmt::format("{}{}\n", indent, printable(text.substr(0, end)));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return out;
}

void figure(std::ostream& out, std::string_view name, std::string const& value) {
    out << fmt::format("  {:<20} {}\n", name, value);
}

constexpr char const* SHARE_NAMES[ORIGIN_COUNT] = {
    "initial", "typed", "pasted", "internal copy", "undo/redo", "fast insertion", "bulk"};

double percent_of(std::size_t part, std::size_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

void write_shape(WorkShape const& shape, std::vector<SizePoint> const& sizes,
                 TimeFormat const& times, std::ostream& out) {
    figure(out, "work sessions",
           fmt::format("{}, {} active", count_of(shape.sessions().size(), "session", "sessions"),
                       duration_text(shape.active_time())));
    for (WorkSession const& session : shape.sessions()) {
        out << fmt::format(
            "    {} to {}  {:>12} active  {}  {} typed\n", times(session.start),
            times(session.end),
            duration_text(std::chrono::duration_cast<std::chrono::milliseconds>(session.end -
                                                                                 session.start)),
            count_of(session.changes, "change", "changes"),
            count_of(session.typed_bytes, "byte", "bytes"));
    }
    figure(out, "deleted / inserted",
           shape.inserted() == 0
               ? std::string("-")
               : fmt::format("{:.1f}% ({} of {})", percent_of(shape.deleted(), shape.inserted()),
                             count_of(shape.deleted(), "byte", "bytes"),
                             count_of(shape.inserted(), "byte", "bytes")));
    if (!sizes.empty()) {
        std::size_t largest = 0;
        for (SizePoint const& point : sizes) {
            largest = std::max(largest, point.size);
        }
        figure(out, "code growth",
               fmt::format("{} at {}, {} at {}, largest {}",
                           count_of(sizes.front().size, "byte", "bytes"), times(sizes.front().time),
                           count_of(sizes.back().size, "byte", "bytes"), times(sizes.back().time),
                           count_of(largest, "byte", "bytes")));
    }
    figure(out, "keystrokes", std::to_string(shape.keystrokes()));
    std::size_t pauses = 0;
    for (std::size_t count : shape.pauses()) {
        pauses += count;
    }
    if (pauses != 0) {
        out << "    pauses between keystrokes:\n";
        for (std::size_t i = 0; i < shape.pauses().size(); ++i) {
            out << fmt::format("    {:<14} {:>8} {:>6.1f}%\n", pause_class_name(i),
                               shape.pauses()[i], percent_of(shape.pauses()[i], pauses));
        }
    }
    if (!shape.rate().empty()) {
        std::size_t fastest = 0;
        std::size_t characters = 0;
        for (RatePoint const& point : shape.rate()) {
            fastest = std::max(fastest, point.characters);
            characters += point.characters;
        }
        figure(out, "typing speed",
               fmt::format("{:.0f} characters per minute typed on average over {}, at most {}",
                           static_cast<double>(characters) /
                               static_cast<double>(shape.rate().size()),
                           count_of(shape.rate().size(), "minute", "minutes"), fastest));
    }
}

// The editor rows of a list, each with its time, size and text.
void write_texts(SessionRecord const& record, SessionReport const& report,
                 std::vector<std::size_t> const& rows, std::string_view what,
                 TimeFormat const& times, std::ostream& out) {
    for (std::size_t row_index : rows) {
        EditorRow const& row = record.editor[row_index];
        std::string source;
        if (std::filesystem::path const from = copy_source_of(report, row); !from.empty()) {
            source = ", copied from " + printable(from.native());
            if (row.copy_source_offset) {
                source += fmt::format(" at byte {}", *row.copy_source_offset);
            }
        }
        out << fmt::format("\n  {} at {} ({}{}):\n", what, times(row.time),
                           count_of(row.inserted.size(), "byte", "bytes"), source);
        out << indented(row.inserted, "    | ");
    }
}

void write_file(SessionRecord const& record, SessionReport const& report, FileReport const& file,
                TimeFormat const& times, std::ostream& out) {
    out << fmt::format("\n{}\n", printable(file.relative.native()));
    figure(out, "first activity", times(file.first_activity));
    figure(out, "last activity", times(file.last_activity));
    figure(out, "editors",
           file.editors.empty() ? "none" : fmt::format("{}", fmt::join(file.editors, ", ")));
    figure(out, "editor changes", std::to_string(file.changes));
    figure(out, "bytes inserted", std::to_string(file.bytes_inserted));
    figure(out, "bytes deleted", std::to_string(file.bytes_deleted));
    std::vector<std::size_t> sizes;
    for (std::size_t row : file.pastes) {
        sizes.push_back(record.editor[row].inserted.size());
    }
    figure(out, "pastes", paste_summary(sizes));
    figure(out, "internal copies", std::to_string(file.internal_copies.size()));
    figure(out, "bulk insertions", std::to_string(file.bulk.size()));
    figure(out, "fast insertions", std::to_string(file.fast_insertions.size()));
    figure(out, "undo/redo changes", std::to_string(file.undo_redo));
    figure(out, "line-end switches", std::to_string(file.line_end_switches));
    figure(out, "saves", std::to_string(file.saves));
    if (!file.not_replayed.empty()) {
        figure(out, "final content", "not replayed: " + file.not_replayed);
    } else {
        std::size_t const size = file.final_content.size();
        figure(out, "final content", count_of(size, "byte", "bytes"));
        for (std::size_t i = 0; i < ORIGIN_COUNT; ++i) {
            out << fmt::format("    {:<18} {:>10} bytes {:>6.1f}%\n", SHARE_NAMES[i],
                               file.shares[i], percent_of(file.shares[i], size));
        }
    }
    write_shape(file.shape, file.shape.sizes(), times, out);
    write_texts(record, report, file.pastes, "paste", times, out);
    write_texts(record, report, file.internal_copies, "internal copy", times, out);
    write_texts(record, report, file.bulk, "bulk insertion", times, out);
    for (std::size_t snapshot_index : file.editor_texts) {
        SnapshotRow const& snapshot = record.snapshots[snapshot_index];
        std::optional<Timestamp> const taken = parse_time(snapshot.recorded_at);
        out << fmt::format("\n  {} at {}: {} set as the editor held them\n",
                           snapshot.reason == "editor_open"
                               ? "editor held unsaved text when first seen"
                               : "record out of step, brought to the editor's text",
                           taken ? times(taken) : printable(snapshot.recorded_at),
                           count_of(snapshot.content.size(), "byte", "bytes"));
    }
    for (std::size_t row_index : file.fast_insertions) {
        FileRow const& row = record.files[row_index];
        bool const between_runs = std::find(file.between_runs.begin(), file.between_runs.end(),
                                            row_index) != file.between_runs.end();
        out << fmt::format("\n  fast insertion at {}{}:\n", times(row.time),
                           between_runs ? " (changed while no monitor ran)" : "");
        for (DiffLine const& line : condensed_diff(row.diff, 2)) {
            if (line.kind == ' ') {
                out << fmt::format("    ... {}\n", count_of(line.gap, "unchanged line",
                                                             "unchanged lines"));
            } else {
                out << fmt::format("    {} {}\n", line.kind == '=' ? ' ' : line.kind,
                                   printable(line.text));
            }
        }
    }
}

// One line per file, those that most need a look first.
void write_summary(SessionReport const& report, std::ostream& out) {
    out << fmt::format("\n  {:<32} {:>9} {:>8} {:>7} {:>6} {:>6} {:>6} {:>6} {:>8}\n", "file",
                       "size", "foreign", "pastes", "copies", "bulk", "fast", "undo", "sessions");
    for (std::size_t index : files_by_attention(report)) {
        FileReport const& file = report.files[index];
        Attention const attention = attention_of(file);
        out << fmt::format(
            "  {:<32} {:>9} {:>7.1f}% {:>7} {:>6} {:>6} {:>6} {:>6} {:>8}\n",
            printable(file.relative.native()),
            file.not_replayed.empty() ? std::to_string(file.final_content.size()) : "-",
            100.0 * attention.share, file.pastes.size(), file.internal_copies.size(),
            file.bulk.size(), file.fast_insertions.size(), file.undo_redo,
            file.shape.sessions().size());
    }
    out << "  (foreign: the share of the final content pasted, copied, inserted in bulk or\n"
           "  changed outside the editor)\n";
}

}  // namespace

void write_text_report(SessionRecord const& record, SessionReport const& report, std::ostream& out,
                       TimeFormat const& times) {
    out << "Wardlet session report\n";
    out << fmt::format("  {:<20} {}\n", "project", printable(report.project.native()));
    out << fmt::format("  {:<20} {}\n", "database", printable(report.database.native()));
    if (report.empty) {
        out << "\nNothing recorded yet: the database holds no rows.\n";
        return;
    }
    out << fmt::format("  {:<20} {} to {} ({})\n", "activity", times(report.first_activity),
                       times(report.last_activity), times.zone(report.first_activity));
    out << fmt::format("  {:<20} {}\n", "tracked files", report.files.size());
    out << fmt::format("  {:<20} {} bytes or more, or text on {} lines or more, in one change\n",
                       "bulk insertion", report.bulk_threshold.bytes, report.bulk_threshold.lines);
    write_summary(report, out);
    out << "\nthe whole record\n";
    write_shape(report.shape, report.total_sizes, times, out);
    for (FileReport const& file : report.files) {
        write_file(record, report, file, times, out);
    }
}

std::string count_of(std::size_t count, std::string_view one, std::string_view many) {
    return fmt::format("{} {}", count, count == 1 ? one : many);
}

std::string duration_text(std::chrono::milliseconds duration) {
    using namespace std::chrono;
    auto const total = duration_cast<seconds>(duration).count();
    if (total >= 3600) {
        return fmt::format("{} h {:02} min", total / 3600, total % 3600 / 60);
    }
    if (total >= 60) {
        return fmt::format("{} min {:02} s", total / 60, total % 60);
    }
    return fmt::format("{} s", total);
}

std::string TimeFormat::operator()(std::optional<Timestamp> const& time) const {
    if (!time) {
        return "-";
    }
    std::time_t const seconds = std::chrono::floor<std::chrono::seconds>(*time)
                                    .time_since_epoch()
                                    .count();
    std::tm parts{};
    if (utc_) {
        gmtime_r(&seconds, &parts);
    } else {
        localtime_r(&seconds, &parts);
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

long TimeFormat::offset_seconds(Timestamp time) const {
    if (utc_) {
        return 0;
    }
    std::time_t const seconds =
        std::chrono::floor<std::chrono::seconds>(time).time_since_epoch().count();
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return parts.tm_gmtoff;
}

std::string TimeFormat::zone(std::optional<Timestamp> const& time) const {
    if (utc_) {
        return "UTC";
    }
    std::time_t const seconds =
        time ? std::chrono::floor<std::chrono::seconds>(*time).time_since_epoch().count()
             : std::time(nullptr);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    long const offset = parts.tm_gmtoff;
    std::string_view const name = parts.tm_zone != nullptr ? parts.tm_zone : "local";
    if (offset == 0 && (name == "UTC" || name == "GMT")) {
        return "UTC";
    }
    long const minutes = (offset < 0 ? -offset : offset) / 60;
    return fmt::format("{}, UTC{}{:02}:{:02}", name, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (char const c : text) {
        auto const byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7f) {
            shown += fmt::format("\\x{:02x}", byte);
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string paste_summary(std::vector<std::size_t> const& sizes) {
    if (sizes.empty()) {
        return "0";
    }
    if (sizes.size() <= MAX_LISTED_PASTES) {
        return fmt::format("{} ({} {})", sizes.size(), fmt::join(sizes, ", "),
                           sizes.size() == 1 && sizes[0] == 1 ? "byte" : "bytes");
    }
    std::size_t total = 0;
    for (std::size_t size : sizes) {
        total += size;
    }
    return fmt::format("{} ({} bytes in all, the largest {} bytes)", sizes.size(), total,
                       *std::max_element(sizes.begin(), sizes.end()));
}

std::vector<DiffLine> condensed_diff(std::string_view diff, std::size_t context) {
    std::vector<DiffLine> lines;
    while (!diff.empty()) {
        std::size_t const end = std::min(diff.find('\n'), diff.size());
        std::string_view const line = diff.substr(0, end);
        diff.remove_prefix(std::min(end + 1, diff.size()));
        char const kind = line.empty() ? '=' : line[0];
        lines.push_back({kind == '-' || kind == '+' ? kind : '=',
                         line.substr(std::min<std::size_t>(2, line.size()))});
    }
    // Distance of each line to the nearest change, then unchanged runs beyond `context` folded.
    std::vector<std::size_t> distance(lines.size(), SIZE_MAX);
    std::size_t last = SIZE_MAX;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        last = lines[i].kind != '=' ? 0 : (last == SIZE_MAX ? last : last + 1);
        distance[i] = last;
    }
    last = SIZE_MAX;
    for (std::size_t i = lines.size(); i-- > 0;) {
        last = lines[i].kind != '=' ? 0 : (last == SIZE_MAX ? last : last + 1);
        distance[i] = std::min(distance[i], last);
    }
    std::vector<DiffLine> shown;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (distance[i] <= context) {
            shown.push_back(lines[i]);
        } else if (!shown.empty() && shown.back().kind == ' ') {
            ++shown.back().gap;
        } else {
            shown.push_back({' ', {}, 1});
        }
    }
    return shown;
}
