#include "tools/report_render.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

namespace {

// Row texts may hold terminal control sequences; they are shown, not obeyed.
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

std::string local_time(std::optional<Timestamp> const& time) {
    return time ? timestamp2str(*time).substr(0, 23) : "-";
}

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

constexpr char const* SHARE_NAMES[ORIGIN_COUNT] = {"initial",       "typed",     "pasted",
                                                   "internal copy", "undo/redo", "fast insertion"};

void write_file(SessionRecord const& record, FileReport const& file, std::ostream& out) {
    out << fmt::format("\n{}\n", printable(file.relative.native()));
    figure(out, "first activity", local_time(file.first_activity));
    figure(out, "last activity", local_time(file.last_activity));
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
    figure(out, "undo/redo changes", std::to_string(file.undo_redo));
    figure(out, "internal copies", std::to_string(file.internal_copies.size()));
    figure(out, "saves", std::to_string(file.saves));
    figure(out, "fast insertions", std::to_string(file.fast_insertions.size()));
    if (!file.not_replayed.empty()) {
        figure(out, "final content", "not replayed: " + file.not_replayed);
    } else {
        std::size_t const size = file.final_content.size();
        figure(out, "final content", fmt::format("{} bytes", size));
        for (std::size_t i = 0; i < ORIGIN_COUNT; ++i) {
            double const percent = size == 0 ? 0.0 : 100.0 * file.shares[i] / size;
            out << fmt::format("    {:<18} {:>10} bytes {:>6.1f}%\n", SHARE_NAMES[i],
                               file.shares[i], percent);
        }
    }
    for (std::size_t row_index : file.internal_copies) {
        EditorRow const& row = record.editor[row_index];
        out << fmt::format("\n  internal copy at {} ({} bytes):\n", local_time(row.time),
                           row.inserted.size());
        out << indented(row.inserted, "    | ");
    }
    for (std::size_t snapshot_index : file.editor_texts) {
        SnapshotRow const& snapshot = record.snapshots[snapshot_index];
        out << fmt::format("\n  {} at {}: {} bytes set as the editor held them\n",
                           snapshot.reason == "editor_open"
                               ? "editor held unsaved text when first seen"
                               : "record out of step, brought to the editor's text",
                           printable(snapshot.recorded_at), snapshot.content.size());
    }
    for (std::size_t row_index : file.fast_insertions) {
        FileRow const& row = record.files[row_index];
        bool const between_runs = std::find(file.between_runs.begin(), file.between_runs.end(),
                                            row_index) != file.between_runs.end();
        out << fmt::format("\n  fast insertion at {}{}:\n", local_time(row.time),
                           between_runs ? " (changed while no monitor ran)" : "");
        for (DiffLine const& line : condensed_diff(row.diff, 2)) {
            if (line.kind == ' ') {
                out << fmt::format("    ... {} unchanged lines\n", line.gap);
            } else {
                out << fmt::format("    {} {}\n", line.kind == '=' ? ' ' : line.kind,
                                   printable(line.text));
            }
        }
    }
}

}  // namespace

void write_text_report(SessionRecord const& record, SessionReport const& report,
                       std::ostream& out) {
    out << "Wardlet session report\n";
    out << fmt::format("  {:<20} {}\n", "project", printable(report.project.native()));
    out << fmt::format("  {:<20} {}\n", "database", printable(report.database.native()));
    if (report.empty) {
        out << "\nNothing recorded yet: the database holds no rows.\n";
        return;
    }
    out << fmt::format("  {:<20} {} to {} (UTC)\n", "activity", local_time(report.first_activity),
                       local_time(report.last_activity));
    out << fmt::format("  {:<20} {}\n", "tracked files", report.files.size());
    for (FileReport const& file : report.files) {
        write_file(record, file, out);
    }
}

std::string paste_summary(std::vector<std::size_t> const& sizes) {
    if (sizes.empty()) {
        return "0";
    }
    if (sizes.size() <= MAX_LISTED_PASTES) {
        return fmt::format("{} ({} bytes)", sizes.size(), fmt::join(sizes, ", "));
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
