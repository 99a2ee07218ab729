#include "tools/report_render.hpp"

using nlohmann::json;

namespace {

json time_or_null(std::optional<Timestamp> const& time) {
    return time ? json(iso_time(*time)) : json(nullptr);
}

json insertions(SessionRecord const& record, std::vector<std::size_t> const& rows) {
    json list = json::array();
    for (std::size_t row : rows) {
        list.push_back({{"time", time_or_null(record.editor[row].time)},
                        {"bytes", record.editor[row].inserted.size()},
                        {"text", record.editor[row].inserted}});
    }
    return list;
}

json file_json(SessionRecord const& record, SessionReport const& report, FileReport const& file) {
    json copies = json::array();
    for (std::size_t row : file.internal_copies) {
        EditorRow const& editor = record.editor[row];
        std::filesystem::path const source = copy_source_of(report, editor);
        copies.push_back({{"time", time_or_null(editor.time)},
                          {"pasted", editor.copy_paste},
                          {"text", editor.inserted},
                          {"source", source.empty() ? json(nullptr) : json(source.native())},
                          {"source_offset", editor.copy_source_offset
                                                ? json(*editor.copy_source_offset)
                                                : json(nullptr)}});
    }
    json fast = json::array();
    for (std::size_t row : file.fast_insertions) {
        fast.push_back(
            {{"time", time_or_null(record.files[row].time)}, {"diff", record.files[row].diff}});
    }
    json shares = nullptr;
    json final_size = nullptr;
    json not_replayed = nullptr;
    if (file.not_replayed.empty()) {
        shares = json::object();
        for (std::size_t i = 0; i < ORIGIN_COUNT; ++i) {
            shares[origin_name(static_cast<Origin>(i))] = file.shares[i];
        }
        final_size = file.final_content.size();
    } else {
        not_replayed = file.not_replayed;
    }
    Attention const attention = attention_of(file);
    return {{"path", file.path.native()},
            {"relative_path", file.relative.native()},
            {"first_activity", time_or_null(file.first_activity)},
            {"last_activity", time_or_null(file.last_activity)},
            {"editors", file.editors},
            {"editor_changes", file.changes},
            {"bytes_inserted", file.bytes_inserted},
            {"bytes_deleted", file.bytes_deleted},
            {"undo_redo_changes", file.undo_redo},
            {"saves", file.saves},
            {"line_end_switches", file.line_end_switches},
            {"pastes", insertions(record, file.pastes)},
            {"internal_copies", copies},
            {"bulk_insertions", insertions(record, file.bulk)},
            {"fast_insertions", fast},
            {"final_size", final_size},
            {"shares", shares},
            {"not_replayed", not_replayed},
            {"attention", {{"foreign_share", attention.share}, {"events", attention.events}}},
            {"shape", shape_json(file.shape, file.shape.sizes())}};
}

}  // namespace

json shape_json(WorkShape const& shape, std::vector<SizePoint> const& sizes) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    json sessions = json::array();
    for (WorkSession const& session : shape.sessions()) {
        sessions.push_back(
            {{"start", iso_time(session.start)},
             {"end", iso_time(session.end)},
             {"active_seconds",
              static_cast<double>(duration_cast<milliseconds>(session.end - session.start).count()) /
                  1000.0},
             {"changes", session.changes},
             {"typed_bytes", session.typed_bytes}});
    }
    json pauses = json::array();
    for (std::size_t i = 0; i < shape.pauses().size(); ++i) {
        pauses.push_back({{"class", pause_class_name(i)},
                          {"below_ms", PAUSE_BOUNDS_MS[i]},
                          {"count", shape.pauses()[i]}});
    }
    json rate = json::array();
    for (RatePoint const& point : shape.rate()) {
        rate.push_back({{"minute", iso_time(point.minute)}, {"characters", point.characters}});
    }
    json growth = json::array();
    for (SizePoint const& point : sizes) {
        growth.push_back({{"time", iso_time(point.time)}, {"size", point.size}});
    }
    return {{"sessions", sessions},
            {"active_seconds", static_cast<double>(shape.active_time().count()) / 1000.0},
            {"keystrokes", shape.keystrokes()},
            {"pauses", pauses},
            {"characters_per_minute", rate},
            {"sizes", growth},
            {"bytes_inserted", shape.inserted()},
            {"bytes_deleted", shape.deleted()},
            {"deleted_per_inserted",
             shape.inserted() == 0 ? json(nullptr)
                                   : json(static_cast<double>(shape.deleted()) /
                                          static_cast<double>(shape.inserted()))}};
}

json json_report(SessionRecord const& record, SessionReport const& report) {
    json files = json::array();
    for (FileReport const& file : report.files) {
        files.push_back(file_json(record, report, file));
    }
    return {{"schema_version", REPORT_SCHEMA_VERSION},
            {"project", report.project.native()},
            {"database", report.database.native()},
            {"empty", report.empty},
            {"first_activity", time_or_null(report.first_activity)},
            {"last_activity", time_or_null(report.last_activity)},
            {"bulk_threshold",
             {{"bytes", report.bulk_threshold.bytes}, {"lines", report.bulk_threshold.lines}}},
            {"shape", shape_json(report.shape, report.total_sizes)},
            {"files", files}};
}
