#include "index/text_edit.hpp"

#include <algorithm>
#include <cstring>

bool insert_text(std::string& content, unsigned long offset, std::string_view text) {
    if (offset > content.size()) {
        return false;
    }
    content.insert(offset, text);
    return true;
}

bool delete_text(std::string& content, unsigned long offset, unsigned long count) {
    if (offset > content.size()) {
        return false;
    }
    // Measured against what follows the offset, so offset + count is never formed.
    std::size_t const removable = content.size() - offset;
    content.erase(offset, std::min<unsigned long>(count, removable));
    return true;
}

namespace {

// Compared a block at a time with memcmp, which is vectorised; a keystroke in a large file must
// not cost a byte-by-byte loop over the whole content.
constexpr std::size_t kBlock = 4096;

std::size_t common_prefix(char const* a, char const* b, std::size_t limit) {
    std::size_t done = 0;
    while (limit - done >= kBlock && std::memcmp(a + done, b + done, kBlock) == 0) {
        done += kBlock;
    }
    while (done < limit && a[done] == b[done]) {
        ++done;
    }
    return done;
}

// Common trailing bytes of a[0, a_end) and b[0, b_end), at most `limit`.
std::size_t common_suffix(char const* a_end, char const* b_end, std::size_t limit) {
    std::size_t done = 0;
    while (limit - done >= kBlock &&
           std::memcmp(a_end - done - kBlock, b_end - done - kBlock, kBlock) == 0) {
        done += kBlock;
    }
    while (done < limit && a_end[-1 - static_cast<std::ptrdiff_t>(done)] ==
                               b_end[-1 - static_cast<std::ptrdiff_t>(done)]) {
        ++done;
    }
    return done;
}

}  // namespace

ChangedSpan changed_span(std::string_view before, std::string_view after) {
    return changed_span(before, after, 0, 0);
}

ChangedSpan changed_span(std::string_view before, std::string_view after, std::size_t same_prefix,
                         std::size_t same_suffix) {
    std::size_t const shorter = std::min(before.size(), after.size());
    std::size_t const known_prefix = std::min(same_prefix, shorter);
    std::size_t const prefix =
        known_prefix + common_prefix(before.data() + known_prefix, after.data() + known_prefix,
                                     shorter - known_prefix);
    std::size_t const known_suffix = std::min(same_suffix, shorter - prefix);
    std::size_t const suffix =
        known_suffix + common_suffix(before.data() + before.size() - known_suffix,
                                     after.data() + after.size() - known_suffix,
                                     shorter - prefix - known_suffix);
    return {prefix, before.size() - prefix - suffix, after.size() - prefix - suffix};
}

ChangedSpan edit_span(std::string_view content, std::size_t offset, std::size_t removed,
                      std::string_view inserted) {
    // The edited content is content[0, offset) + inserted + content[offset + removed, end): both
    // sides are compared a part at a time, as changed_span would compare them whole.
    char const* const text = content.data();
    std::size_t const size = content.size();
    std::size_t const tail = size - offset - removed;  // the bytes after the cut, kept
    std::size_t const shorter = std::min(size, offset + inserted.size() + tail);

    std::size_t const limit = shorter - offset;
    std::size_t const within = std::min(inserted.size(), limit);
    std::size_t const same = common_prefix(text + offset, inserted.data(), within);
    std::size_t prefix = offset + same;
    if (same == inserted.size() && limit > inserted.size()) {
        prefix += common_prefix(text + offset + inserted.size(), text + offset + removed,
                                limit - inserted.size());
    }

    // The kept tail is common to both; beyond it the edited content reads `inserted` backwards,
    // never further: the common prefix already holds everything before the cut.
    std::size_t suffix = std::min(tail, shorter - prefix);
    if (std::size_t const rest = shorter - prefix - suffix; rest != 0) {
        suffix += common_suffix(text + size - suffix, inserted.data() + inserted.size(), rest);
    }
    return {prefix, size - prefix - suffix, offset + inserted.size() + tail - prefix - suffix};
}
