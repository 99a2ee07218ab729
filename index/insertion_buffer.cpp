#include "index/insertion_buffer.hpp"

#include "app/log.hpp"
#include "index/text_edit.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// Linear-time search that allocates nothing: it runs under the buffer's lock on every keystroke.
bool holds(std::string const& haystack, std::string const& needle) {
    if (needle.empty()) {
        return true;
    }
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// Whether the `count` bytes removed from `content` at `rightmost` (the rightmost position that
// explains the change) could equally have been removed at `start` <= `rightmost`: a deletion
// inside repeated text has several positions that leave the same result.
bool removable_at(std::string const& content, std::size_t start, std::size_t rightmost,
                  std::size_t count) {
    return std::memcmp(content.data() + start, content.data() + start + count, rightmost - start) ==
           0;
}

// Makes room for `extra` more bytes with an eighth of headroom instead of letting the string
// double: the buffer holds two copies of every file, and doubling both on the first keystroke in a
// 1 MB file would add 2 MB at once. (reserve() itself would double, hence the fresh string.)
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
    return files_.try_emplace(path).first->second;
}

void InsertionBuffer::report_drift(std::filesystem::path const& path, unsigned long offset,
                                   std::size_t size) const {
    log_line("[InsertionBuffer] edit of {} at offset {} ignored: the content has {} bytes",
             path.string(), offset, size);
}

void InsertionBuffer::insert_filecontent(std::filesystem::path const& path, unsigned long offset,
                                         std::string const& text) {
    std::lock_guard lock(mutex_);
    auto& file = entry(path);
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

void InsertionBuffer::delete_filecontent(std::filesystem::path const& path, unsigned long offset,
                                         unsigned long count) {
    std::lock_guard lock(mutex_);
    auto& file = entry(path);
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

void InsertionBuffer::set_filecontent(std::filesystem::path const& path, std::string text) {
    std::lock_guard lock(mutex_);
    auto& file = entry(path);
    file.buf = std::move(text);
    file.same_prefix = 0;
    file.same_suffix = 0;
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

void InsertionBuffer::update(std::filesystem::path const& path) {
    std::lock_guard lock(mutex_);
    auto& file = entry(path);
    ChangedSpan const span =
        changed_span(file.indexed, file.buf, file.same_prefix, file.same_suffix);
    // From here on `indexed` equals `buf`.
    file.same_prefix = file.buf.size();
    file.same_suffix = file.buf.size();
    if (span.removed == 0 && span.inserted == 0) {
        return;
    }

    // A deletion right before the pending run (backspace) or right at it (forward delete) extends
    // the run. In repeated text several positions explain the change and both may fit; the
    // direction the run grew in last decides, a backspace when there is none yet.
    bool extended = false;
    if (span.inserted == 0 && !file.pending.empty()) {
        std::size_t const count = span.removed;
        std::size_t const at = file.pending_at;
        bool const backspace = at >= count && at - count <= span.offset &&
                               removable_at(file.indexed, at - count, span.offset, count);
        bool const forward =
            at <= span.offset && removable_at(file.indexed, at, span.offset, count);
        if (forward && (file.pending_forward || !backspace)) {
            file.pending.append(file.indexed, at, count);
            file.pending_forward = true;
            extended = true;
        } else if (backspace) {
            file.pending.insert(0, file.indexed, at - count, count);
            file.pending_at = at - count;
            file.pending_forward = false;
            extended = true;
        }
    }
    if (!extended) {
        if (!file.pending.empty()) {
            async_update(path, file.pending);
            std::string{}.swap(file.pending);  // a large run must not keep its storage
        }
        std::string removed = file.indexed.substr(span.offset, span.removed);
        if (span.inserted == 0) {
            file.pending = std::move(removed);
            file.pending_at = span.offset;
            file.pending_forward = false;
        } else if (!removed.empty()) {
            // Replaced text has no edge that a later deletion could continue from.
            async_update(path, removed);
        }
    }
    reserve_for(file.indexed, span.inserted - std::min(span.inserted, span.removed));
    file.indexed.replace(span.offset, span.removed, file.buf, span.offset, span.inserted);
}

void InsertionBuffer::async_update(std::filesystem::path const& path, std::string const& content) {
    entry(path).sam.add(content);
}

bool InsertionBuffer::contains(std::string const& text) {
    std::lock_guard lock(mutex_);
    log_line("[InsertionBuffer] checking if the following content exists...\ncontent={}",
             log_safe(text));
    for (auto const& [path, file] : files_) {
        if (file.sam.contains(text) || holds(file.pending, text) || holds(file.indexed, text)) {
            log_line("[InsertionBuffer]> {} contains the content", path.string());
            return true;
        }
    }
    log_text("[InsertionBuffer]> no file contains the content!");
    return false;
}

std::size_t InsertionBuffer::automaton_size(std::filesystem::path const& path) const {
    std::lock_guard lock(mutex_);
    auto const it = files_.find(path);
    return it == files_.end() ? 0 : it->second.sam.size();
}
