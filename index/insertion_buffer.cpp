#include "index/insertion_buffer.hpp"

#include "app/log.hpp"
#include "index/text_edit.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// Makes room for `extra` more bytes with an eighth of headroom instead of letting the string
// double: doubling on the first keystroke in a 1 MB file would add 1 MB at once. (reserve()
// itself would double, hence the fresh string.)
void reserve_for(std::string& content, std::size_t extra) {
    std::size_t const needed = content.size() + extra;
    if (needed > content.capacity()) {
        std::string grown;
        grown.reserve(needed + needed / 8);
        grown.append(content);
        content.swap(grown);
    }
}

}  // namespace

InsertionBuffer::sambuf_pair& InsertionBuffer::entry(std::filesystem::path const& path) {
    auto const [it, created] = files_.try_emplace(path);
    if (created) {
        it->second.number = static_cast<ContentCensus::Entry>(by_number_.size());
        by_number_.push_back(&*it);
    }
    return it->second;
}

InsertionBuffer::Node const* InsertionBuffer::numbered(ContentCensus::Entry number) const {
    return number < by_number_.size() ? by_number_[number] : nullptr;
}

void InsertionBuffer::report_drift(std::filesystem::path const& path, unsigned long offset,
                                   std::size_t size) const {
    log_line("[InsertionBuffer] edit of {} at offset {} ignored: the content has {} bytes",
             path.string(), offset, size);
}

void InsertionBuffer::continue_sequence(std::uint64_t last) {
    std::lock_guard lock(mutex_);
    sequence_ = std::max(sequence_, last);
}

void InsertionBuffer::keep_index_apart(sambuf_pair& file) {
    if (file.index_is_buf) {
        file.indexed = file.buf;
        file.index_is_buf = false;
    }
}

void InsertionBuffer::insert_locked(std::filesystem::path const& path, unsigned long offset,
                                    std::string const& text) {
    auto& file = entry(path);
    keep_index_apart(file);
    std::size_t const size = file.buf.size();
    if (offset <= size) {
        reserve_for(file.buf, text.size());
    }
    if (!insert_text(file.buf, offset, text)) {
        report_drift(path, offset, size);
        return;
    }
    file.same_prefix = std::min<std::size_t>(file.same_prefix, offset);
    file.same_suffix = std::min<std::size_t>(file.same_suffix, size - offset);
}

void InsertionBuffer::delete_locked(std::filesystem::path const& path, unsigned long offset,
                                    unsigned long count) {
    auto& file = entry(path);
    keep_index_apart(file);
    std::size_t const size = file.buf.size();
    if (!delete_text(file.buf, offset, count)) {
        report_drift(path, offset, size);
        return;
    }
    std::size_t const removed = size - file.buf.size();
    if (removed != 0) {
        file.same_prefix = std::min<std::size_t>(file.same_prefix, offset);
        file.same_suffix = std::min<std::size_t>(file.same_suffix, size - offset - removed);
    }
}

std::uint64_t InsertionBuffer::insert_filecontent(std::filesystem::path const& path,
                                                  unsigned long offset, std::string const& text) {
    std::lock_guard lock(mutex_);
    insert_locked(path, offset, text);
    return ++sequence_;
}

std::uint64_t InsertionBuffer::delete_filecontent(std::filesystem::path const& path,
                                                  unsigned long offset, unsigned long count) {
    std::lock_guard lock(mutex_);
    delete_locked(path, offset, count);
    return ++sequence_;
}

std::uint64_t InsertionBuffer::edit_filecontent(std::filesystem::path const& path,
                                                unsigned long offset, unsigned long count,
                                                std::string const& text) {
    std::lock_guard lock(mutex_);
    return edit_locked(path, offset, count, text);
}

std::uint64_t InsertionBuffer::edit_locked(std::filesystem::path const& path, unsigned long offset,
                                           unsigned long count, std::string const& text) {
    if (count != 0) {
        delete_locked(path, offset, count);
    }
    if (!text.empty()) {
        insert_locked(path, offset, text);
    }
    return ++sequence_;
}

InsertionBuffer::ChangeOutcome InsertionBuffer::apply_editor_change(
    std::filesystem::path const& path, std::optional<MirrorEdit> edit, std::string const& inserted,
    bool mirrored) {
    std::lock_guard lock(mutex_);
    ChangeOutcome outcome;
    if (auto const it = files_.find(path); edit && mirrored && it != files_.end()) {
        sambuf_pair& file = it->second;
        if (file.index_is_buf && edit->offset <= file.buf.size()) {
            // The search reads only the indexed content, which the edit leaves as it is until the
            // update: searching before the edit answers as searching after it would.
            outcome.source = find_locked(inserted);
            outcome.place = edit_in_step(file, edit->offset, edit->count, inserted);
            return outcome;
        }
    }
    if (edit) {
        outcome.place = edit_locked(path, edit->offset, edit->count, inserted);
    }
    outcome.source = find_locked(inserted);
    if (mirrored) {
        update_locked(path);
    }
    return outcome;
}

std::uint64_t InsertionBuffer::set_filecontent(std::filesystem::path const& path,
                                               std::string text) {
    std::lock_guard lock(mutex_);
    std::uint64_t const place = ++sequence_;
    auto& file = entry(path);
    if (file.index_is_buf) {
        file.indexed = std::move(file.buf);
        file.index_is_buf = false;
    }
    file.buf = std::move(text);
    file.set_whole = true;
    file.same_prefix = 0;
    file.same_suffix = 0;
    return place;
}

std::optional<std::string> InsertionBuffer::get_filecontent(
    std::filesystem::path const& path) const {
    std::lock_guard lock(mutex_);
    auto const it = files_.find(path);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second.buf;
}

std::optional<InsertionBuffer::MovedEntry> InsertionBuffer::rename_file(
    std::filesystem::path const& from, std::filesystem::path const& to) {
    std::lock_guard lock(mutex_);
    auto node = files_.extract(from);
    if (node.empty()) {
        return std::nullopt;
    }
    if (auto const replaced = files_.find(to); replaced != files_.end()) {
        census_.content_dropped(indexed_content(replaced->second));
        by_number_[replaced->second.number] = nullptr;
    }
    auto const moved = files_.insert_or_assign(to, std::move(node.mapped())).first;
    by_number_[moved->second.number] = &*moved;
    return MovedEntry{++sequence_, moved->second.buf};
}

void InsertionBuffer::update(std::filesystem::path const& path) {
    std::lock_guard lock(mutex_);
    update_locked(path);
}

void InsertionBuffer::update_locked(std::filesystem::path const& path) {
    auto& file = entry(path);
    bool const edited = !file.set_whole;
    file.set_whole = false;
    if (file.index_is_buf) {
        return;
    }
    ChangedSpan const span =
        changed_span(file.indexed, file.buf, file.same_prefix, file.same_suffix);
    // From here on the indexed content is `buf`.
    file.same_prefix = file.buf.size();
    file.same_suffix = file.buf.size();
    if (span.removed != 0 || span.inserted != 0) {
        index_cut(file, file.indexed, span, edited);
        index_result(file, file.buf, span);
    }
    std::string().swap(file.indexed);
    file.index_is_buf = true;
}

std::uint64_t InsertionBuffer::edit_in_step(sambuf_pair& file, unsigned long offset,
                                            unsigned long count, std::string const& text) {
    std::string& content = file.buf;
    // As delete_text counts it: never past the end.
    std::size_t const removed = std::min<std::size_t>(count, content.size() - offset);
    ChangedSpan const span = edit_span(content, offset, removed, text);
    bool const changes = span.removed != 0 || span.inserted != 0;
    bool const edited = !file.set_whole;
    file.set_whole = false;
    if (changes) {
        index_cut(file, content, span, edited);
    }
    reserve_for(content, text.size() - std::min(text.size(), removed));
    content.replace(offset, removed, text);
    if (changes) {
        index_result(file, content, span);
    }
    file.same_prefix = content.size();
    file.same_suffix = content.size();
    return ++sequence_;
}

void InsertionBuffer::index_cut(sambuf_pair& file, std::string_view before, ChangedSpan const& span,
                                bool edited) {
    std::size_t const kept = file.history.neighbourhoods().size();
    file.history.record_cut(before, span.offset, span.removed, span.inserted, edited);
    if (file.history.neighbourhoods().size() != kept) {
        census_.history_kept(file.number, file.history.neighbourhoods().substr(kept));
    }
    census_.content_leaving(before, span.offset, span.removed);
}

void InsertionBuffer::index_result(sambuf_pair& file, std::string_view after,
                                   ChangedSpan const& span) {
    file.history.record_result(after, span.offset, span.inserted);
    census_.content_arriving(file.number, after, span.offset, span.inserted);
}

std::optional<CopySource> InsertionBuffer::find(std::string const& text) {
    std::lock_guard lock(mutex_);
    return find_locked(text);
}

std::optional<CopySource> InsertionBuffer::find_locked(std::string const& text) {
    log_line("[InsertionBuffer] checking if the following content exists...\ncontent={}", text);
    std::optional<CopySource> found;
    if (text.empty()) {
        if (!files_.empty()) {
            found = CopySource{files_.begin()->first, 0};
        }
    } else {
        // A file that holds the text now is named first: it also tells where.
        found = find_in_contents(text);
        if (!found) {
            found = find_in_histories(text);
        }
    }
    if (!found) {
        log_text("[InsertionBuffer]> no file contains the content!");
        return std::nullopt;
    }
    log_line("[InsertionBuffer]> {} contains the content", found->path.string());
    return found;
}

std::optional<CopySource> InsertionBuffer::find_in_contents(std::string const& text) {
    if (!census_.may_be_in_contents(text)) {
        return std::nullopt;
    }
    auto const held = [&text](sambuf_pair const& file) -> std::optional<std::size_t> {
        std::string_view const content = indexed_content(file);
        void const* at = ::memmem(content.data(), content.size(), text.data(), text.size());
        if (at == nullptr) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(static_cast<char const*>(at) - content.data());
    };
    if (Node const* hinted = numbered(census_.content_hint(text))) {
        if (auto const at = held(hinted->second)) {
            return CopySource{hinted->first, at};
        }
    }
    for (auto const& [path, file] : files_) {
        if (auto const at = held(file)) {
            census_.found_in_content(text, file.number);
            return CopySource{path, at};
        }
    }
    return std::nullopt;
}

std::optional<CopySource> InsertionBuffer::find_in_histories(std::string const& text) {
    // Shorter texts are found only in the neighbourhoods, which the census knows.
    bool const short_text = text.size() < ContentHistory::LONG_TEXT;
    if (short_text) {
        if (!census_.may_be_in_histories(text)) {
            return std::nullopt;
        }
        if (Node const* hinted = numbered(census_.history_hint(text));
            hinted != nullptr && hinted->second.history.holds(text)) {
            return CopySource{hinted->first, std::nullopt};
        }
    }
    for (auto const& [path, file] : files_) {
        if (file.history.holds(text)) {
            if (short_text) {
                census_.found_in_history(text, file.number);
            }
            return CopySource{path, std::nullopt};
        }
    }
    return std::nullopt;
}
