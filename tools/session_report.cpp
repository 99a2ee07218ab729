#include "tools/session_report.hpp"

#include "editor/change_message.hpp"
#include "store/event_db.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <unordered_map>

namespace fs = std::filesystem;

bool is_bulk(std::string_view inserted, BulkThreshold threshold) {
    if (threshold.bytes != 0 && inserted.size() >= threshold.bytes) {
        return true;
    }
    if (threshold.lines == 0) {
        return false;
    }
    std::size_t lines = 0;
    bool blank = true;
    for (char const c : inserted) {
        if (c == '\n') {
            lines += blank ? 0 : 1;
            blank = true;
        } else if (c != ' ' && c != '\t' && c != '\r') {
            blank = false;
        }
    }
    lines += blank ? 0 : 1;
    return lines >= threshold.lines;
}

Origin origin_of(EditorRow const& row, BulkThreshold threshold) {
    if (row.undo_redo) {
        return Origin::undo_redo;
    }
    if (row.internal_copy && (row.copy_paste || row.inserted.size() >= MIN_UNPASTED_COPY)) {
        return Origin::internal_copy;
    }
    if (row.copy_paste) {
        return Origin::pasted;
    }
    return is_bulk(row.inserted, threshold) ? Origin::bulk : Origin::typed;
}

char const* edit_type_name(EditType type) {
    static constexpr char const* NAMES[] = {"",      "Insert", "Delete", "Replace",
                                            "Paste", "Undo",   "Redo"};
    return NAMES[static_cast<std::size_t>(type)];
}

std::vector<OriginRun> origin_runs(std::vector<Origin> const& origins) {
    std::vector<OriginRun> runs;
    for (Origin const origin : origins) {
        if (runs.empty() || runs.back().origin != origin) {
            runs.push_back({0, origin});
        }
        ++runs.back().length;
    }
    return runs;
}

std::string iso_time(Timestamp time) {
    std::string text = timestamp2str(time);
    text[10] = 'T';
    return text + 'Z';
}

fs::path relative_path(fs::path const& file, fs::path const& project) {
    fs::path const relative = file.lexically_relative(project);
    if (relative.empty() || *relative.begin() == "..") {
        return fs::path("_outside") / file.relative_path();
    }
    return relative;
}

std::size_t file_index(SessionReport const& report, fs::path const& path) {
    for (std::size_t i = 0; i < report.files.size(); ++i) {
        if (report.files[i].path == path) {
            return i;
        }
    }
    return NO_INDEX;
}

fs::path copy_source_of(SessionReport const& report, EditorRow const& row) {
    if (!row.copy_source || row.copy_source->empty()) {
        return {};
    }
    return relative_path(fs::path(*row.copy_source), report.project);
}

Attention attention_of(FileReport const& file) {
    Attention attention;
    attention.events = file.pastes.size() + file.internal_copies.size() + file.bulk.size() +
                       file.fast_insertions.size();
    std::size_t const size = file.final_content.size();
    if (file.not_replayed.empty() && size != 0) {
        std::size_t const foreign =
            file.shares[static_cast<std::size_t>(Origin::pasted)] +
            file.shares[static_cast<std::size_t>(Origin::internal_copy)] +
            file.shares[static_cast<std::size_t>(Origin::bulk)] +
            file.shares[static_cast<std::size_t>(Origin::fast_insertion)];
        attention.share = static_cast<double>(foreign) / static_cast<double>(size);
    }
    return attention;
}

std::vector<std::size_t> files_by_attention(SessionReport const& report) {
    std::vector<std::size_t> order(report.files.size());
    std::vector<Attention> attention;
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
        attention.push_back(attention_of(report.files[i]));
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (attention[a].share != attention[b].share) {
            return attention[a].share > attention[b].share;
        }
        return attention[a].events > attention[b].events;
    });
    return order;
}

namespace {

bool is_editor_text(SnapshotRow const& snapshot) {
    return snapshot.reason == SnapshotReason::EDITOR_OPEN ||
           snapshot.reason == SnapshotReason::EDITOR_RESYNC ||
           snapshot.reason == SnapshotReason::EDITOR_SAVE;
}

EditType edit_type_of(EditorRow const& row) {
    if (row.saved) {
        return EditType::none;
    }
    if (row.undo_redo) {
        return EditType::undo;
    }
    if (row.copy_paste) {
        return EditType::paste;
    }
    if (row.deleted != 0) {
        return row.inserted.empty() ? EditType::remove : EditType::replace;
    }
    return EditType::insert;
}

// Assigns rows to the tracked files, comparing paths as the monitor does; each distinct text is
// compared once.
class FileIndex {
public:
    FileIndex(std::vector<FileReport>& files) : files_(files) {}

    std::size_t add(fs::path const& path, fs::path const& project) {
        auto const [it, added] = by_path_.try_emplace(path, files_.size());
        if (added) {
            FileReport& file = files_.emplace_back();
            file.path = path;
            file.relative = relative_path(path, project);
        }
        return it->second;
    }
    std::size_t find(std::string const& text) {
        auto const cached = by_text_.find(text);
        if (cached != by_text_.end()) {
            return cached->second;
        }
        auto const it = by_path_.find(fs::path(text));
        return by_text_[text] = it == by_path_.end() ? NO_INDEX : it->second;
    }

private:
    std::vector<FileReport>& files_;
    std::map<fs::path, std::size_t> by_path_;
    std::unordered_map<std::string, std::size_t> by_text_;
};

// Rows whose time text does not parse take the time of the row before them.
Timestamp effective(std::optional<Timestamp> const& time, Timestamp& previous) {
    if (time) {
        previous = *time;
    }
    return previous;
}

// Calls `visit(index, row, time, file)` for each of `rows` that belongs to a tracked file, in
// order, with the row's effective time and the file's index.
template <typename Row, typename Visit>
void for_tracked_rows(std::vector<Row> const& rows, FileIndex& files, Visit visit) {
    Timestamp previous{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Timestamp const time = effective(rows[i].time, previous);
        std::size_t const file = files.find(rows[i].filepath);
        if (file != NO_INDEX) {
            visit(i, rows[i], time, file);
        }
    }
}

void count_editor_rows(SessionRecord const& record, FileReport& file, BulkThreshold bulk) {
    for (std::size_t index : file.rows) {
        EditorRow const& row = record.editor[index];
        if (std::find(file.editors.begin(), file.editors.end(), row.editor) == file.editors.end()) {
            file.editors.insert(
                std::upper_bound(file.editors.begin(), file.editors.end(), row.editor), row.editor);
        }
        if (row.saved) {
            ++file.saves;
            continue;
        }
        if (describes_document(row)) {
            continue;
        }
        ++file.changes;
        file.bytes_inserted += row.inserted.size();
        file.bytes_deleted += row.deleted;
        file.undo_redo += row.undo_redo ? 1 : 0;
        switch (origin_of(row, bulk)) {
            case Origin::pasted:
                file.pastes.push_back(index);
                break;
            case Origin::internal_copy:
                file.internal_copies.push_back(index);
                break;
            case Origin::bulk:
                file.bulk.push_back(index);
                break;
            default:
                break;
        }
    }
}

// Replays one file from its first snapshot, labelling every byte, and fills the steps, the
// shares, the removed text and edit type of each of its events, and the code states.
class FileReplay {
public:
    FileReplay(SessionRecord const& record, SessionReport& report, std::size_t file_index,
               bool keep_states)
        : record_(record), report_(report), file_index_(file_index), keep_states_(keep_states) {}

    // `events` maps an editor row to its SessionEvent; `fast_events` lists the file's fast
    // insertion events in order.
    void run(std::vector<std::size_t> const& snapshots,
             std::unordered_map<std::size_t, std::size_t> const& events,
             std::vector<std::size_t> const& fast_events) {
        FileReport& file = report_.files[file_index_];
        if (!record_.replayable) {
            file.not_replayed = "the database keeps no change offsets and snapshots";
            return;
        }
        if (snapshots.empty()) {
            file.not_replayed = "the monitor never took a snapshot of it";
            return;
        }
        file.start_snapshot = snapshots.front();
        SnapshotRow const& start = record_.snapshots[snapshots.front()];
        LabelledText text(start.content, Origin::initial);
        Timestamp at = parse_time(start.recorded_at).value_or(Timestamp{});
        file.shape.add_size(at, text.content().size());
        std::size_t next_snapshot = 1;
        std::size_t next_fast = 0;
        EditorRow const* last_undo = nullptr;
        std::string last_undo_removed;
        auto const reset_until = [&](std::int64_t row_id) {
            while (next_snapshot < snapshots.size() &&
                   record_.snapshots[snapshots[next_snapshot]].after_event_id < row_id) {
                SnapshotRow const& snapshot = record_.snapshots[snapshots[next_snapshot]];
                // A reset to the disk brings content that bypassed the editor, and so does a
                // later start that finds the file other than the record left it (changed while
                // no monitor ran, which the monitor stores as a fast insertion). The editor's
                // own text, whatever it differs in, is no one's typing.
                bool const between_runs =
                    snapshot.reason == SnapshotReason::START && snapshot.content != text.content();
                bool const fast = snapshot.reason == SnapshotReason::FAST_INSERTION || between_runs;
                if (is_editor_text(snapshot) && snapshot.content != text.content()) {
                    file.editor_texts.push_back(snapshots[next_snapshot]);
                }
                text.reset(snapshot.content, fast ? Origin::fast_insertion : Origin::initial);
                at = std::max(at, parse_time(snapshot.recorded_at).value_or(at));
                file.shape.add_size(at, text.content().size());
                file.steps.push_back({NO_INDEX, Origin::initial, snapshots[next_snapshot],
                                      origin_runs(text.origins()), false, {}});
                // The row of a change between runs is stored just before its start snapshot; a
                // record written before such rows were has none to take.
                std::optional<Timestamp> const taken = parse_time(snapshot.recorded_at);
                bool const has_row =
                    next_fast < fast_events.size() &&
                    (!between_runs ||
                     (taken && report_.events[fast_events[next_fast]].time <= *taken));
                if (fast && has_row) {
                    SessionEvent& event = report_.events[fast_events[next_fast++]];
                    if (between_runs) {
                        file.between_runs.push_back(event.row);
                    }
                    keep_state(event, text.content());
                }
                ++next_snapshot;
            }
        };
        for (std::size_t index : file.rows) {
            EditorRow const& row = record_.editor[index];
            if (row.id <= start.after_event_id) {
                continue;  // the first snapshot already holds its effect
            }
            reset_until(row.id);
            auto const event_it = events.find(index);
            SessionEvent* event =
                event_it == events.end() ? nullptr : &report_.events[event_it->second];
            if (row.saved) {
                if (event != nullptr) {
                    keep_state(*event, text.content());
                }
                continue;
            }
            if (!row.offset) {
                continue;
            }
            Origin const origin = origin_of(row, report_.bulk_threshold);
            std::string removed;
            if (event != nullptr) {
                at = std::max(at, event->time);
            }
            if (*row.offset <= text.content().size()) {
                removed = text.content().substr(*row.offset, row.deleted);
            }
            if (!row.undo_redo && text.switch_line_ends(*row.offset, row.deleted, row.inserted)) {
                // The editor sends a change of line ends as one change over the whole text; the
                // bytes stay what they were.
                ++file.line_end_switches;
                file.steps.push_back({index, origin, NO_INDEX, origin_runs(text.origins()), true,
                                      text.content()});
            } else {
                removed.clear();
                text.apply(*row.offset, row.deleted, row.inserted, origin, &removed);
                file.steps.push_back({index, origin, NO_INDEX, {}, false, {}});
            }
            file.shape.add_size(at, text.content().size());
            if (row.undo_redo) {
                // A redo puts back exactly what the undo before it took away, where it was.
                bool const redo = last_undo != nullptr && last_undo->offset == row.offset &&
                                  last_undo->inserted == removed &&
                                  last_undo_removed == row.inserted;
                if (event != nullptr) {
                    event->edit_type = redo ? EditType::redo : EditType::undo;
                }
                last_undo = &row;
                last_undo_removed = removed;
            } else {
                last_undo = nullptr;
            }
            if (event != nullptr) {
                event->removed = std::move(removed);
            }
        }
        reset_until(std::numeric_limits<std::int64_t>::max());
        file.shares = text.counts();
        file.final_content = text.content();
    }

private:
    void keep_state(SessionEvent& event, std::string const& content) {
        if (keep_states_) {
            event.code_state = report_.code_states.size();
            report_.code_states.push_back({file_index_, content});
        }
    }

    SessionRecord const& record_;
    SessionReport& report_;
    std::size_t file_index_;
    bool keep_states_;
};

}  // namespace

bool describes_document(EditorRow const& row) {
    return row.type == MessageKind::OPEN || row.type == MessageKind::RESYNC ||
           row.type == MessageKind::RENAME;
}

SessionReport analyse_session(SessionRecord const& record, fs::path const& project,
                              std::vector<fs::path> const& tracked, bool keep_code_states,
                              BulkThreshold bulk) {
    SessionReport report;
    report.project = project;
    report.database = record.database;
    report.empty = record.editor.empty() && record.files.empty() && record.snapshots.empty();
    report.bulk_threshold = bulk;
    FileIndex index(report.files);
    for (fs::path const& path : tracked) {
        index.add(path, project);
    }
    for (SnapshotRow const& snapshot : record.snapshots) {
        index.add(fs::path(snapshot.filepath), project);
    }
    if (tracked.empty() && record.snapshots.empty()) {
        // A record without snapshots or map still names its tracked files in its file rows.
        for (FileRow const& row : record.files) {
            if (row.handler_type == "TRACKEDFILE") {
                index.add(fs::path(row.filepath), project);
            }
        }
    }
    std::sort(report.files.begin(), report.files.end(),
              [](FileReport const& a, FileReport const& b) { return a.relative < b.relative; });
    FileIndex sorted(report.files);
    std::vector<FileReport> files = std::move(report.files);
    report.files.clear();
    for (FileReport& file : files) {
        sorted.add(file.path, project);
    }

    // Events of every tracked file, in the order of time; ties keep editor rows first.
    auto const add_editor_row = [&](std::size_t i, EditorRow const& row, Timestamp time,
                                    std::size_t file) {
        report.files[file].rows.push_back(i);
        if (describes_document(row)) {
            return;
        }
        report.events.push_back({row.saved ? SessionEvent::Kind::save : SessionEvent::Kind::edit,
                                 time,
                                 file,
                                 i,
                                 edit_type_of(row),
                                 {},
                                 NO_INDEX});
        if (!row.saved && origin_of(row, bulk) == Origin::internal_copy) {
            report.events.push_back(
                {SessionEvent::Kind::internal_copy, time, file, i, EditType::none, {}, NO_INDEX});
        }
    };
    auto const add_file_row = [&](std::size_t i, FileRow const& row, Timestamp time,
                                  std::size_t file) {
        report.files[file].file_rows.push_back(i);
        if (row.incident_type == "FAST_INSERTION") {
            report.files[file].fast_insertions.push_back(i);
            report.events.push_back(
                {SessionEvent::Kind::fast_insertion, time, file, i, EditType::none, {}, NO_INDEX});
        }
    };
    for_tracked_rows(record.editor, sorted, add_editor_row);
    for_tracked_rows(record.files, sorted, add_file_row);
    std::stable_sort(report.events.begin(), report.events.end(),
                     [](SessionEvent const& a, SessionEvent const& b) { return a.time < b.time; });

    std::vector<std::unordered_map<std::size_t, std::size_t>> edit_events(report.files.size());
    std::vector<std::vector<std::size_t>> fast_events(report.files.size());
    for (std::size_t i = 0; i < report.events.size(); ++i) {
        SessionEvent const& event = report.events[i];
        FileReport& file = report.files[event.file];
        ActivityKind kind = ActivityKind::edit;
        std::size_t bytes = 0;
        switch (event.kind) {
            case SessionEvent::Kind::edit: {
                EditorRow const& row = record.editor[event.row];
                edit_events[event.file][event.row] = i;
                Origin const origin = origin_of(row, bulk);
                kind = origin == Origin::internal_copy ? ActivityKind::internal_copy
                       : origin == Origin::pasted      ? ActivityKind::paste
                       : origin == Origin::bulk        ? ActivityKind::bulk
                                                       : ActivityKind::edit;
                bytes = row.inserted.size();
                file.shape.add_change(event.time, row.inserted, row.deleted, origin);
                report.shape.add_change(event.time, row.inserted, row.deleted, origin);
                break;
            }
            case SessionEvent::Kind::save:
                edit_events[event.file][event.row] = i;
                kind = ActivityKind::save;
                break;
            case SessionEvent::Kind::fast_insertion:
                fast_events[event.file].push_back(i);
                kind = ActivityKind::fast_insertion;
                break;
            case SessionEvent::Kind::internal_copy:
                continue;
        }
        file.activity.push_back({event.time, kind, bytes});
        if (!file.first_activity) {
            file.first_activity = event.time;
        }
        file.last_activity = event.time;
        if (!report.first_activity) {
            report.first_activity = event.time;
        }
        report.last_activity = event.time;
    }

    std::vector<std::vector<std::size_t>> snapshots(report.files.size());
    for (std::size_t i = 0; i < record.snapshots.size(); ++i) {
        std::size_t const file = sorted.find(record.snapshots[i].filepath);
        if (file != NO_INDEX) {
            snapshots[file].push_back(i);
        }
    }
    for (std::size_t file = 0; file < report.files.size(); ++file) {
        count_editor_rows(record, report.files[file], bulk);
        FileReplay(record, report, file, keep_code_states)
            .run(snapshots[file], edit_events[file], fast_events[file]);
    }
    std::vector<std::vector<SizePoint>> sizes;
    for (FileReport const& file : report.files) {
        sizes.push_back(file.shape.sizes());
    }
    report.total_sizes = summed_sizes(sizes);
    return report;
}
