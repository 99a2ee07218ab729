#include "tools/report_render.hpp"

#include "tools/safe_path.hpp"
#include "tools/track.hpp"

#include <fmt/format.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr char const* TOOL = "Wardlet";

// One subject's events are ordered globally; several subjects' only within each subject.
constexpr char const* METADATA =
    "Property,Value\r\n"
    "Version,6\r\n"
    "IsEventOrderingConsistent,true\r\n"
    "EventOrderScope,Global\r\n"
    "EventOrderScopeColumns,\r\n"
    "CodeStateRepresentation,Directory\r\n";
constexpr char const* METADATA_PER_SUBJECT =
    "Property,Value\r\n"
    "Version,6\r\n"
    "IsEventOrderingConsistent,true\r\n"
    "EventOrderScope,Restricted\r\n"
    "EventOrderScopeColumns,SubjectID\r\n"
    "CodeStateRepresentation,Directory\r\n";

// Required columns first, then the optional ones for edits, then the monitor's own.
constexpr char const* COLUMNS[] = {"EventID",         "SubjectID",        "ToolInstances",
                                   "EventType",       "CodeStateID",      "Order",
                                   "ServerTimestamp", "CodeStateSection", "EditType",
                                   "SourceLocation",  "X-InsertText",     "X-DeleteText",
                                   "X-Diff"};

// A cell a spreadsheet would run as a formula gets a leading quote, which spreadsheets read as
// "text" and do not show.
std::string neutralised(std::string const& cell) {
    if (!cell.empty() &&
        std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos) {
        return "'" + cell;
    }
    return cell;
}

void write_row(std::ostream& out, std::vector<std::string> const& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        out << (i == 0 ? "" : ",") << csv_field(neutralised(fields[i]));
    }
    out << "\r\n";
}

// The bytes of a code state this export wrote; empty when they cannot be read.
std::string read_state(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(fs::path const& dir, fs::path const& relative, std::string const& content) {
    try {
        write_below(dir, relative, content);
    } catch (fs::filesystem_error const& error) {
        throw RecordError(
            fmt::format("cannot write {}: {}", (dir / relative).native(), error.code().message()));
    }
}

// Where each file's code states go below CodeStates/<id>: its path in the project, or, when the
// record names a path that would leave the export, a safe name instead, said once per file.
std::vector<fs::path> code_state_names(SessionReport const& report, fs::path const& dir) {
    std::vector<fs::path> names;
    for (std::size_t index = 0; index < report.files.size(); ++index) {
        fs::path const& relative = report.files[index].relative;
        auto const problem = escape_from(dir / "CodeStates" / "0", relative);
        if (!problem) {
            names.push_back(relative.lexically_normal());
            continue;
        }
        names.push_back(refused_name(relative, "file-" + std::to_string(index)) /
                        std::to_string(index));
        std::cerr << fmt::format(
            "wardlet-report: code states of {} not written there ({}): "
            "written as CodeStates/<id>/{} instead\n",
            relative.native(), *problem, names.back().native());
    }
    return names;
}

}  // namespace

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string out = "\"";
    for (char const c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + '"';
}

ProgSnap2Writer::ProgSnap2Writer(fs::path dir, bool subjects_ordered) : dir_(std::move(dir)) {
    fs::create_directories(dir_);
    write_bytes(dir_, "DatasetMetadata.csv", subjects_ordered ? METADATA_PER_SUBJECT : METADATA);
    // Made by the safe writer first: a symlink planted in its place is refused, not followed.
    write_bytes(dir_, "MainTable.csv", "");
    table_.open(dir_ / "MainTable.csv", std::ios::binary | std::ios::trunc);
    write_row(table_, std::vector<std::string>(std::begin(COLUMNS), std::end(COLUMNS)));
}

void ProgSnap2Writer::add(SessionRecord const& record, SessionReport const& report,
                          std::string const& subject) {
    std::vector<fs::path> const names = code_state_names(report, dir_);
    // Every code state is the whole content of one file, by its path in the project. A state
    // already written, of this subject or an earlier one, is not written again: its id serves.
    std::vector<std::size_t> ids;
    for (CodeState const& state : report.code_states) {
        fs::path const& name = names[state.file];
        std::size_t const hash = std::hash<std::string_view>()(state.content) ^
                                 (std::hash<std::string>()(name.native()) * 31);
        std::optional<std::size_t> same;
        auto const [first, last] = written_.equal_range(hash);
        for (auto it = first; it != last && !same; ++it) {
            if (it->second.name == name && read_state(it->second.path) == state.content) {
                same = it->second.id;
            }
        }
        if (same) {
            ids.push_back(*same);
            continue;
        }
        std::size_t const id = next_state_++;
        fs::path const state_dir = dir_ / "CodeStates" / std::to_string(id);
        fs::path written = name;
        // A symlink planted in an existing export is checked for each state's own directory.
        if (auto const problem = escape_from(state_dir, written)) {
            written = refused_name(written, "file-" + std::to_string(state.file));
            std::cerr << fmt::format(
                "wardlet-report: code state {} not written at {} ({}): "
                "written as CodeStates/{}/{} instead\n",
                id, name.native(), *problem, id, written.native());
        }
        write_bytes(state_dir, written, state.content);
        written_.emplace(hash, WrittenState{id, name, state_dir / written.lexically_normal()});
        ids.push_back(id);
    }
    // An event without a state of its own refers to the file's latest one.
    std::vector<std::size_t> latest(report.files.size(), NO_INDEX);
    std::size_t order = 0;
    for (SessionEvent const& event : report.events) {
        if (event.code_state != NO_INDEX) {
            latest[event.file] = ids[event.code_state];
        }
        std::string type;
        std::string edit_type;
        std::string location;
        std::string inserted;
        std::string diff;
        switch (event.kind) {
            case SessionEvent::Kind::edit: {
                EditorRow const& row = record.editor[event.row];
                type = "File.Edit";
                edit_type = edit_type_name(event.edit_type);
                if (row.offset) {
                    location = fmt::format("Text:{}-{}", *row.offset, *row.offset + row.deleted);
                }
                inserted = row.inserted;
                break;
            }
            case SessionEvent::Kind::save:
                type = "File.Save";
                break;
            case SessionEvent::Kind::internal_copy:
                type = "X-InternalCopy";
                inserted = record.editor[event.row].inserted;
                break;
            case SessionEvent::Kind::fast_insertion:
                type = "X-FastInsertion";
                diff = record.files[event.row].diff;
                break;
        }
        std::size_t const state = latest[event.file];
        write_row(table_, {std::to_string(next_event_++), subject, TOOL, type,
                           state == NO_INDEX ? "" : std::to_string(state), std::to_string(order),
                           iso_time(event.time), names[event.file].native(), edit_type, location,
                           inserted, event.removed, diff});
        ++order;
    }
}

void ProgSnap2Writer::finish() {
    if (!table_.flush()) {
        throw RecordError(fmt::format("cannot write {}", (dir_ / "MainTable.csv").native()));
    }
    table_.close();
}

void write_progsnap2(SessionRecord const& record, SessionReport const& report, fs::path const& dir,
                     std::string const& subject) {
    ProgSnap2Writer writer(dir, false);
    writer.add(record, report, subject);
    writer.finish();
}
