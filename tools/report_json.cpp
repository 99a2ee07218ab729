#include "tools/report_render.hpp"

using nlohmann::json;

namespace {

json time_or_null(std::optional<Timestamp> const& time) {
    return time ? json(iso_time(*time)) : json(nullptr);
}

json file_json(SessionRecord const& record, FileReport const& file) {
    json pastes = json::array();
    for (std::size_t row : file.pastes) {
        pastes.push_back({{"time", time_or_null(record.editor[row].time)},
                          {"bytes", record.editor[row].inserted.size()}});
    }
    json copies = json::array();
    for (std::size_t row : file.internal_copies) {
        EditorRow const& editor = record.editor[row];
        copies.push_back({{"time", time_or_null(editor.time)},
                          {"pasted", editor.copy_paste},
                          {"text", editor.inserted}});
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
            {"pastes", pastes},
            {"internal_copies", copies},
            {"fast_insertions", fast},
            {"final_size", final_size},
            {"shares", shares},
            {"not_replayed", not_replayed}};
}

}  // namespace

json json_report(SessionRecord const& record, SessionReport const& report) {
    json files = json::array();
    for (FileReport const& file : report.files) {
        files.push_back(file_json(record, file));
    }
    return {{"schema_version", REPORT_SCHEMA_VERSION},
            {"project", report.project.native()},
            {"database", report.database.native()},
            {"empty", report.empty},
            {"first_activity", time_or_null(report.first_activity)},
            {"last_activity", time_or_null(report.last_activity)},
            {"files", files}};
}
