#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The edit arithmetic of mirrored file content. The buffer and every tool that replays stored
// editor changes use these same rules, so that a replayed mirror matches the live one byte for
// byte.

// Inserts `text` before byte `offset`. Returns false, leaving `content` unchanged, when `offset`
// lies beyond the end; an offset equal to the size appends.
bool insert_text(std::string& content, unsigned long offset, std::string_view text);

// Removes up to `count` bytes from byte `offset`, stopping at the end of the content whatever the
// count (all ones included). Returns false, leaving `content` unchanged, when `offset` lies beyond
// the end; an offset equal to the size removes nothing.
bool delete_text(std::string& content, unsigned long offset, unsigned long count);

// Where two versions of a content differ: they share `offset` leading bytes and `suffix` trailing
// bytes, the trailing run measured after the leading one so that the two never overlap. The old
// version loses old.size() - offset - suffix bytes there, the new one gains new.size() - offset -
// suffix.
struct ChangedSpan {
    std::size_t offset = 0;
    std::size_t removed = 0;
    std::size_t inserted = 0;
};
ChangedSpan changed_span(std::string_view before, std::string_view after);
// The same span, found faster when the first `same_prefix` and the last `same_suffix` bytes of the
// two versions are known to be equal: only the bytes between are compared.
ChangedSpan changed_span(std::string_view before, std::string_view after, std::size_t same_prefix,
                         std::size_t same_suffix);
// The span changed_span finds between `content` and `content` with its `removed` bytes at `offset`
// replaced by `inserted`, found without building the edited content, so that an index can be
// brought up to an edit it is about to make in place. `offset + removed` must not exceed the size.
ChangedSpan edit_span(std::string_view content, std::size_t offset, std::size_t removed,
                      std::string_view inserted);
