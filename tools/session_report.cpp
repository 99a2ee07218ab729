#include "tools/session_report.hpp"

#include "editor/change_message.hpp"
#include "store/event_db.hpp"
#include "store/schema.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
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
        std::size_t const foreign = file.shares[static_cast<std::size_t>(Origin::pasted)] +
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
    // The texts seen so far that name `file`.
    std::vector<std::string> texts_of(std::size_t file) const {
        std::vector<std::string> texts;
        for (auto const& [text, index] : by_text_) {
            if (index == file) {
                texts.push_back(text);
            }
        }
        return texts;
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

// Whether the mirror took `snapshot` before `row`: by their places in the mirrors' order when
// both have one, otherwise by the editor row the snapshot was stored after.
bool placed_before(SnapshotRow const& snapshot, EditorRow const& row) {
    if (snapshot.mirror_seq && row.mirror_seq) {
        return *snapshot.mirror_seq < *row.mirror_seq;
    }
    return snapshot.after_event_id < row.id;
}

// What the replay learns of an editor row, for its events.
struct RowOutcome {
    std::string removed;  // the bytes it removed
    bool redo = false;    // an undo/redo change that put back what the undo before it took
    std::size_t code_state = NO_INDEX;  // the file's own state at a save
};

// A file's code states, each distinct content once.
class StateList {
public:
    std::size_t keep(std::string const& content) {
        std::size_t const hash = std::hash<std::string_view>()(content);
        auto const [first, last] = by_hash_.equal_range(hash);
        for (auto it = first; it != last; ++it) {
            if (states_[it->second] == content) {
                return it->second;
            }
        }
        by_hash_.emplace(hash, states_.size());
        states_.push_back(content);
        return states_.size() - 1;
    }
    std::vector<std::string>& states() { return states_; }
    void clear() {
        states_.clear();
        by_hash_.clear();
    }

private:
    std::vector<std::string> states_;
    std::unordered_multimap<std::size_t, std::size_t> by_hash_;
};

// A fast insertion of a file, for the replay: its time and its row (SessionRecord::files).
struct FastInsertion {
    Timestamp time;
    std::size_t row;
};

class Analysis;

// The replay of one file from its first snapshot, fed the file's editor rows one by one in the
// order stored, every byte labelled: the steps, the shares, the removed text and kind of undo of
// each row, and the code states. A snapshot applies where it reached the mirror; a row whose
// effect a snapshot already holds is passed over. When the file's rows did not reach the mirror
// in the order stored, the walk says so (out_of_order) and stops: it is then fed again, in the
// mirror's order.
class FileWalk {
public:
    FileWalk(Analysis& analysis, std::size_t file);
    void row(EditorRow const& row, std::size_t index, Timestamp time);
    void finish();
    bool out_of_order() const { return out_of_order_; }

private:
    void reset_until(EditorRow const* row);
    void keep_state(std::size_t* into);

    Analysis& analysis_;
    std::size_t file_index_;
    FileReport& file_;
    std::vector<std::size_t> const& snapshots_;  // the file's, in the order stored
    std::vector<FastInsertion> const& fast_;     // the file's, in time order
    bool started_ = false;
    bool out_of_order_ = false;
    std::optional<std::int64_t> last_seq_;
    SnapshotRow const* last_applied_ = nullptr;
    LabelledText text_;
    Timestamp at_{};
    std::size_t next_snapshot_ = 1;
    std::size_t next_fast_ = 0;
    bool after_undo_ = false;
    std::optional<std::uint64_t> last_undo_offset_;
    std::string last_undo_inserted_;
    std::string last_undo_removed_;
};

// One pass over the record: the file rows, then the editor rows in the order stored, each row
// counted, placed on the timeline and handed to its file's replay as it comes; only the rows
// that Keep asks for stay.
class Analysis {
public:
    Analysis(RecordReader const& reader, AnalysedRecord& out, Keep keep, bool keep_states,
             BulkThreshold bulk)
        : reader_(reader),
          record_(out.record),
          report_(out.report),
          everything_(keep == Keep::everything),
          keep_states_(keep_states && keep == Keep::everything),
          bulk_(bulk),
          index_(report_.files) {}

    void run(fs::path const& project, std::vector<fs::path> const& tracked);

    // For the walks.
    SessionReport& report() { return report_; }
    SessionRecord& record() { return record_; }
    bool everything() const { return everything_; }
    bool keep_states() const { return keep_states_; }
    BulkThreshold bulk() const { return bulk_; }
    std::vector<std::size_t> const& snapshots_of(std::size_t file) const {
        return file_snapshots_[file];
    }
    std::vector<FastInsertion> const& fast_of(std::size_t file) const { return fast_[file]; }
    std::string const& content_of(std::size_t snapshot);
    // Keeps the content of a snapshot that the report shows.
    void show_snapshot(std::size_t snapshot);
    RowOutcome* outcome(std::size_t index) {
        return everything_ && index < outcomes_.size() ? &outcomes_[index] : nullptr;
    }
    StateList& states_of(std::size_t file) { return states_[file]; }
    std::map<std::size_t, std::size_t>& fast_states() { return fast_states_; }

private:
    void choose_files(fs::path const& project, std::vector<fs::path> const& tracked,
                      std::vector<FileRow>& file_rows);
    void read_file_rows(std::vector<FileRow>& file_rows);
    void read_editor_rows();
    void count(FileReport& file, EditorRow const& row, std::size_t ordinal);
    void add_change(std::size_t file, Timestamp time, EditorRow const& row);
    void walk_in_mirror_order(std::size_t file);
    void shape_in_time_order();
    void finish_events();

    RecordReader const& reader_;
    SessionRecord& record_;
    SessionReport& report_;
    bool everything_;
    bool keep_states_;
    BulkThreshold bulk_;
    FileIndex index_;
    std::vector<std::vector<std::size_t>> file_snapshots_;
    std::vector<std::vector<FastInsertion>> fast_;
    std::vector<std::unique_ptr<FileWalk>> walks_;
    std::vector<RowOutcome> outcomes_;                // by editor row, Keep::everything
    std::vector<StateList> states_;                   // by file
    std::map<std::size_t, std::size_t> fast_states_;  // file row -> the file's own state
    std::vector<SessionEvent> file_events_;           // Keep::everything
    // Editor rows without a time of their own, by id: the time they take.
    std::unordered_map<std::int64_t, Timestamp> borrowed_times_;
    std::optional<Timestamp> shape_time_;
    bool shape_in_order_ = true;
    std::optional<std::size_t> cached_snapshot_;
    std::string cached_content_;
};

FileWalk::FileWalk(Analysis& analysis, std::size_t file)
    : analysis_(analysis),
      file_index_(file),
      file_(analysis.report().files[file]),
      snapshots_(analysis.snapshots_of(file)),
      fast_(analysis.fast_of(file)) {
    if (!analysis_.record().replayable) {
        file_.not_replayed = "the database keeps no change offsets and snapshots";
        return;
    }
    if (snapshots_.empty()) {
        file_.not_replayed = "the monitor never took a snapshot of it";
        return;
    }
    started_ = true;
    file_.start_snapshot = snapshots_.front();
    SnapshotRow const& start = analysis_.record().snapshots[snapshots_.front()];
    last_applied_ = &start;
    text_ = LabelledText(analysis_.content_of(snapshots_.front()), Origin::initial);
    at_ = parse_time(start.recorded_at).value_or(Timestamp{});
    file_.shape.add_size(at_, text_.size());
}

void FileWalk::keep_state(std::size_t* into) {
    if (analysis_.keep_states() && into != nullptr) {
        *into = analysis_.states_of(file_index_).keep(text_.content());
    }
}

void FileWalk::reset_until(EditorRow const* row) {
    SessionRecord& record = analysis_.record();
    while (next_snapshot_ < snapshots_.size() &&
           (row == nullptr || placed_before(record.snapshots[snapshots_[next_snapshot_]], *row))) {
        std::size_t const index = snapshots_[next_snapshot_];
        SnapshotRow const& snapshot = record.snapshots[index];
        std::string const& content = analysis_.content_of(index);
        // A reset to the disk brings content that bypassed the editor, and so does a later start
        // that finds the file other than the record left it (changed while no monitor ran, which
        // the monitor stores as a fast insertion). The editor's own text, whatever it differs
        // in, is no one's typing.
        bool const between_runs =
            snapshot.reason == SnapshotReason::START && content != text_.content();
        bool const fast = snapshot.reason == SnapshotReason::FAST_INSERTION || between_runs;
        if (is_editor_text(snapshot) && content != text_.content()) {
            file_.editor_texts.push_back(index);
            analysis_.show_snapshot(index);
        }
        text_.reset(analysis_.content_of(index), fast ? Origin::fast_insertion : Origin::initial);
        at_ = std::max(at_, parse_time(snapshot.recorded_at).value_or(at_));
        file_.shape.add_size(at_, text_.size());
        if (analysis_.everything()) {
            file_.steps.push_back(
                {NO_INDEX, Origin::initial, index, origin_runs(text_.origins()), false, {}});
        }
        // The row of a change between runs is stored just before its start snapshot; a record
        // written before such rows were has none to take.
        std::optional<Timestamp> const taken = parse_time(snapshot.recorded_at);
        bool const has_row = next_fast_ < fast_.size() &&
                             (!between_runs || (taken && fast_[next_fast_].time <= *taken));
        if (fast && has_row) {
            std::size_t const row_index = fast_[next_fast_++].row;
            if (between_runs) {
                file_.between_runs.push_back(row_index);
            }
            if (analysis_.keep_states()) {
                keep_state(&analysis_.fast_states()[row_index]);
            }
        }
        last_applied_ = &snapshot;
        ++next_snapshot_;
    }
}

void FileWalk::row(EditorRow const& row, std::size_t index, Timestamp time) {
    if (!started_ || out_of_order_) {
        return;
    }
    if (row.mirror_seq) {
        if (last_seq_ && *row.mirror_seq < *last_seq_) {
            out_of_order_ = true;
            return;
        }
        last_seq_ = row.mirror_seq;
    }
    RowOutcome* const outcome = analysis_.outcome(index);
    if (outcome != nullptr) {
        *outcome = {};
    }
    reset_until(&row);
    if (!placed_before(*last_applied_, row)) {
        return;  // the snapshot already holds its effect
    }
    bool const has_event = !describes_document(row);
    if (row.saved) {
        if (has_event && outcome != nullptr) {
            keep_state(&outcome->code_state);
        }
        return;
    }
    if (!row.offset) {
        return;
    }
    Origin const origin = origin_of(row, analysis_.bulk());
    std::string removed;
    if (has_event) {
        at_ = std::max(at_, time);
    }
    if (*row.offset <= text_.size()) {
        removed = text_.text_at(*row.offset, row.deleted);
    }
    if (!row.undo_redo && text_.switch_line_ends(*row.offset, row.deleted, row.inserted)) {
        // The editor sends a change of line ends as one change over the whole text; the bytes
        // stay what they were.
        ++file_.line_end_switches;
        if (analysis_.everything()) {
            file_.steps.push_back(
                {index, origin, NO_INDEX, origin_runs(text_.origins()), true, text_.content()});
        }
    } else {
        removed.clear();
        text_.apply(*row.offset, row.deleted, row.inserted, origin, &removed);
        if (analysis_.everything()) {
            file_.steps.push_back({index, origin, NO_INDEX, {}, false, {}});
        }
    }
    file_.shape.add_size(at_, text_.size());
    if (row.undo_redo) {
        // A redo puts back exactly what the undo before it took away, where it was.
        bool const redo = after_undo_ && last_undo_offset_ == row.offset &&
                          last_undo_inserted_ == removed && last_undo_removed_ == row.inserted;
        if (outcome != nullptr && has_event) {
            outcome->redo = redo;
        }
        after_undo_ = true;
        last_undo_offset_ = row.offset;
        last_undo_inserted_ = row.inserted;
        last_undo_removed_ = removed;
    } else {
        after_undo_ = false;
    }
    if (outcome != nullptr && has_event) {
        outcome->removed = std::move(removed);
    }
}

void FileWalk::finish() {
    if (!started_) {
        return;
    }
    reset_until(nullptr);
    file_.shares = text_.counts();
    file_.final_content = text_.content();
}

std::string const& Analysis::content_of(std::size_t snapshot) {
    if (everything_) {
        return record_.snapshots[snapshot].content;
    }
    if (cached_snapshot_ != snapshot) {
        cached_content_ = snapshot_content(reader_, record_.snapshots[snapshot].id);
        cached_snapshot_ = snapshot;
    }
    return cached_content_;
}

void Analysis::show_snapshot(std::size_t snapshot) {
    if (!everything_) {
        record_.snapshots[snapshot].content = content_of(snapshot);
    }
}

void Analysis::choose_files(fs::path const& project, std::vector<fs::path> const& tracked,
                            std::vector<FileRow>& file_rows) {
    FileIndex chosen(report_.files);
    for (fs::path const& path : tracked) {
        chosen.add(path, project);
    }
    for (SnapshotRow const& snapshot : record_.snapshots) {
        chosen.add(fs::path(snapshot.filepath), project);
    }
    if (tracked.empty() && record_.snapshots.empty()) {
        // A record without snapshots or map still names its tracked files in its file rows.
        read_file_rows(file_rows);
        for (FileRow const& row : file_rows) {
            if (row.handler_type == "TRACKEDFILE") {
                chosen.add(fs::path(row.filepath), project);
            }
        }
    }
    std::sort(report_.files.begin(), report_.files.end(),
              [](FileReport const& a, FileReport const& b) { return a.relative < b.relative; });
    std::vector<FileReport> files = std::move(report_.files);
    report_.files.clear();
    for (FileReport& file : files) {
        index_.add(file.path, project);
    }
}

void Analysis::read_file_rows(std::vector<FileRow>& file_rows) {
    if (file_rows.empty()) {
        for_each_file_row(reader_, [&](FileRow&& row) { file_rows.push_back(std::move(row)); });
    }
}

void Analysis::count(FileReport& file, EditorRow const& row, std::size_t ordinal) {
    if (std::find(file.editors.begin(), file.editors.end(), row.editor) == file.editors.end()) {
        file.editors.insert(std::upper_bound(file.editors.begin(), file.editors.end(), row.editor),
                            row.editor);
    }
    if (row.saved) {
        ++file.saves;
        return;
    }
    if (describes_document(row)) {
        return;
    }
    ++file.changes;
    file.bytes_inserted += row.inserted.size();
    file.bytes_deleted += row.deleted;
    file.undo_redo += row.undo_redo ? 1 : 0;
    std::vector<std::size_t>* list = nullptr;
    switch (origin_of(row, bulk_)) {
        case Origin::pasted:
            list = &file.pastes;
            break;
        case Origin::internal_copy:
            list = &file.internal_copies;
            break;
        case Origin::bulk:
            list = &file.bulk;
            break;
        default:
            return;
    }
    if (everything_) {
        list->push_back(ordinal);
    } else {
        list->push_back(record_.editor.size());
        record_.editor.push_back(row);
    }
}

void Analysis::add_change(std::size_t file, Timestamp time, EditorRow const& row) {
    if (shape_time_ && time < *shape_time_) {
        shape_in_order_ = false;  // the shapes are made again in the order of time
    }
    shape_time_ = time;
    if (!shape_in_order_) {
        return;
    }
    Origin const origin = origin_of(row, bulk_);
    ChangeFigures const figures = figures_of(row.inserted, row.deleted);
    report_.files[file].shape.add_change(time, figures, row.deleted, origin);
    report_.shape.add_change(time, figures, row.deleted, origin);
}

void Analysis::read_editor_rows() {
    if (!has_column(reader_.conn(), "vscode_events", "filepath")) {
        return;
    }
    EditorRows rows(reader_);
    EditorRow row;
    Timestamp previous{};
    std::size_t ordinal = 0;
    for (; rows.next(row); ++ordinal) {
        report_.empty = false;
        Timestamp const time = effective(row.time, previous);
        if (everything_) {
            record_.editor.push_back(row);
            outcomes_.emplace_back();
        }
        std::size_t const file_index = index_.find(row.filepath);
        if (file_index == NO_INDEX) {
            continue;
        }
        if (!row.time) {
            borrowed_times_[row.id] = time;
        }
        FileReport& file = report_.files[file_index];
        count(file, row, ordinal);
        walks_[file_index]->row(row, ordinal, time);
        if (everything_) {
            file.rows.push_back(ordinal);
        }
        if (describes_document(row)) {
            continue;
        }
        file.first_activity = std::min(file.first_activity.value_or(time), time);
        file.last_activity = std::max(file.last_activity.value_or(time), time);
        report_.first_activity = std::min(report_.first_activity.value_or(time), time);
        report_.last_activity = std::max(report_.last_activity.value_or(time), time);
        if (!row.saved) {
            add_change(file_index, time, row);
        }
        if (everything_) {
            report_.events.push_back(
                {row.saved ? SessionEvent::Kind::save : SessionEvent::Kind::edit,
                 time,
                 file_index,
                 ordinal,
                 edit_type_of(row),
                 {},
                 NO_INDEX});
            if (!row.saved && origin_of(row, bulk_) == Origin::internal_copy) {
                report_.events.push_back({SessionEvent::Kind::internal_copy,
                                          time,
                                          file_index,
                                          ordinal,
                                          EditType::none,
                                          {},
                                          NO_INDEX});
            }
        }
    }
}

void Analysis::walk_in_mirror_order(std::size_t file) {
    // Rows without a place keep theirs in the order stored; those with one are taken in the
    // mirror's order instead, one for one.
    std::vector<std::string> const texts = index_.texts_of(file);
    std::string in = "filepath IN (";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        in += fmt::format("{}?{}", i == 0 ? "" : ", ", i + 1);
    }
    in += ")";
    EditorRows stored(reader_, "WHERE " + in + " ORDER BY rowid", texts);
    EditorRows mirrored(reader_, "WHERE " + in + " AND mirror_seq IS NOT NULL ORDER BY mirror_seq",
                        texts);
    FileReport& report = report_.files[file];
    report.steps.clear();
    report.editor_texts.clear();
    report.between_runs.clear();
    report.line_end_switches = 0;
    report.shape.clear_sizes();
    states_[file].clear();
    for (FastInsertion const& fast : fast_[file]) {
        fast_states_.erase(fast.row);
    }
    walks_[file] = std::make_unique<FileWalk>(*this, file);
    FileWalk& walk = *walks_[file];
    EditorRow row;
    while (stored.next(row)) {
        if (row.mirror_seq && !mirrored.next(row)) {
            break;
        }
        std::size_t ordinal = NO_INDEX;
        if (everything_) {
            auto const it = std::lower_bound(
                record_.editor.begin(), record_.editor.end(), row.id,
                [](EditorRow const& kept, std::int64_t id) { return kept.id < id; });
            ordinal = static_cast<std::size_t>(it - record_.editor.begin());
        }
        Timestamp time = row.time.value_or(Timestamp{});
        if (!row.time) {
            time = borrowed_times_[row.id];
        }
        walk.row(row, ordinal, time);
    }
    walk.finish();
}

void Analysis::shape_in_time_order() {
    // The changes again, in the order of time (ties in the order stored), each with only what
    // the shapes need.
    struct Change {
        Timestamp time;
        std::size_t file;
        ChangeFigures figures;
        std::uint32_t deleted;
        Origin origin;
    };
    std::vector<Change> changes;
    EditorRows rows(reader_);
    EditorRow row;
    Timestamp previous{};
    while (rows.next(row)) {
        Timestamp const time = effective(row.time, previous);
        std::size_t const file = index_.find(row.filepath);
        if (file != NO_INDEX && !describes_document(row) && !row.saved) {
            changes.push_back({time, file, figures_of(row.inserted, row.deleted), row.deleted,
                               origin_of(row, bulk_)});
        }
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](Change const& a, Change const& b) { return a.time < b.time; });
    report_.shape.clear_changes();
    for (FileReport& file : report_.files) {
        file.shape.clear_changes();
    }
    for (Change const& change : changes) {
        report_.files[change.file].shape.add_change(change.time, change.figures, change.deleted,
                                                    change.origin);
        report_.shape.add_change(change.time, change.figures, change.deleted, change.origin);
    }
}

void Analysis::finish_events() {
    // Ties keep editor rows first.
    report_.events.insert(report_.events.end(), file_events_.begin(), file_events_.end());
    file_events_.clear();
    std::stable_sort(report_.events.begin(), report_.events.end(),
                     [](SessionEvent const& a, SessionEvent const& b) { return a.time < b.time; });
    // Each file's code states follow those of the files before it.
    std::vector<std::size_t> first_state(report_.files.size(), 0);
    for (std::size_t file = 0; file < report_.files.size(); ++file) {
        first_state[file] = report_.code_states.size();
        for (std::string& content : states_[file].states()) {
            report_.code_states.push_back({file, std::move(content)});
        }
        states_[file].clear();
    }
    for (SessionEvent& event : report_.events) {
        FileReport& file = report_.files[event.file];
        ActivityKind kind = ActivityKind::edit;
        std::size_t bytes = 0;
        std::size_t state = NO_INDEX;
        switch (event.kind) {
            case SessionEvent::Kind::edit: {
                EditorRow const& row = record_.editor[event.row];
                Origin const origin = origin_of(row, bulk_);
                kind = origin == Origin::internal_copy ? ActivityKind::internal_copy
                       : origin == Origin::pasted      ? ActivityKind::paste
                       : origin == Origin::bulk        ? ActivityKind::bulk
                                                       : ActivityKind::edit;
                bytes = row.inserted.size();
                RowOutcome& outcome = outcomes_[event.row];
                if (outcome.redo) {
                    event.edit_type = EditType::redo;
                }
                event.removed = std::move(outcome.removed);
                break;
            }
            case SessionEvent::Kind::save:
                kind = ActivityKind::save;
                state = outcomes_[event.row].code_state;
                break;
            case SessionEvent::Kind::fast_insertion: {
                kind = ActivityKind::fast_insertion;
                auto const it = fast_states_.find(event.row);
                state = it == fast_states_.end() ? NO_INDEX : it->second;
                break;
            }
            case SessionEvent::Kind::internal_copy:
                continue;
        }
        if (state != NO_INDEX) {
            event.code_state = first_state[event.file] + state;
        }
        file.activity.push_back({event.time, kind, bytes});
    }
    outcomes_.clear();
}

void Analysis::run(fs::path const& project, std::vector<fs::path> const& tracked) {
    record_.replayable = is_replayable(reader_);
    record_.snapshots = load_snapshots(reader_, everything_);
    report_.empty = record_.snapshots.empty();
    std::vector<FileRow> file_rows;
    choose_files(project, tracked, file_rows);
    std::size_t const files = report_.files.size();
    file_snapshots_.resize(files);
    fast_.resize(files);
    states_.resize(files);
    for (std::size_t i = 0; i < record_.snapshots.size(); ++i) {
        std::size_t const file = index_.find(record_.snapshots[i].filepath);
        if (file != NO_INDEX) {
            file_snapshots_[file].push_back(i);
        }
    }

    // File rows first: a file's replay needs its fast insertions in time order.
    read_file_rows(file_rows);
    Timestamp previous{};
    for (std::size_t i = 0; i < file_rows.size(); ++i) {
        FileRow& row = file_rows[i];
        report_.empty = false;
        Timestamp const time = effective(row.time, previous);
        std::size_t const file_index = index_.find(row.filepath);
        bool const fast = file_index != NO_INDEX && row.incident_type == "FAST_INSERTION";
        std::size_t kept = i;
        if (everything_) {
            record_.files.push_back(std::move(row));
        } else if (fast) {
            kept = record_.files.size();
            record_.files.push_back(std::move(row));
        }
        if (file_index == NO_INDEX) {
            continue;
        }
        FileReport& file = report_.files[file_index];
        if (everything_) {
            file.file_rows.push_back(kept);
        }
        if (!fast) {
            continue;
        }
        file.fast_insertions.push_back(kept);
        fast_[file_index].push_back({time, kept});
        file.first_activity = std::min(file.first_activity.value_or(time), time);
        file.last_activity = std::max(file.last_activity.value_or(time), time);
        report_.first_activity = std::min(report_.first_activity.value_or(time), time);
        report_.last_activity = std::max(report_.last_activity.value_or(time), time);
        if (everything_) {
            file_events_.push_back({SessionEvent::Kind::fast_insertion,
                                    time,
                                    file_index,
                                    kept,
                                    EditType::none,
                                    {},
                                    NO_INDEX});
        }
    }
    file_rows = {};
    for (auto& list : fast_) {
        std::stable_sort(
            list.begin(), list.end(),
            [](FastInsertion const& a, FastInsertion const& b) { return a.time < b.time; });
    }

    for (std::size_t file = 0; file < files; ++file) {
        walks_.push_back(std::make_unique<FileWalk>(*this, file));
    }
    read_editor_rows();
    for (std::size_t file = 0; file < files; ++file) {
        if (walks_[file]->out_of_order()) {
            walk_in_mirror_order(file);
        } else {
            walks_[file]->finish();
        }
    }
    if (!shape_in_order_) {
        shape_in_time_order();
    }
    if (everything_) {
        finish_events();
    }
    std::vector<std::vector<SizePoint>> sizes;
    for (FileReport const& file : report_.files) {
        sizes.push_back(file.shape.sizes());
    }
    report_.total_sizes = summed_sizes(sizes);
}

}  // namespace

bool describes_document(EditorRow const& row) {
    return row.type == MessageKind::OPEN || row.type == MessageKind::RESYNC ||
           row.type == MessageKind::RENAME;
}

AnalysedRecord analyse_record(fs::path const& database, fs::path const& project,
                              std::vector<fs::path> const& tracked, Keep keep,
                              bool keep_code_states, BulkThreshold bulk) {
    AnalysedRecord out;
    out.record.database = database;
    out.report.project = project;
    out.report.database = database;
    out.report.bulk_threshold = bulk;
    RecordReader const reader(database);
    require_monitor_tables(reader);
    Analysis(reader, out, keep, keep_code_states, bulk).run(project, tracked);
    return out;
}
