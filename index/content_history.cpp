#include "index/content_history.hpp"

#include <algorithm>
#include <cstring>

namespace {

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// Hash of the GRAM bytes at `at`; never 0, which marks a free slot.
std::uint64_t gram_hash(char const* at) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::memcpy(&a, at, 8);
    std::memcpy(&b, at + 8, 8);
    std::uint64_t const h = mix(a * 0x9E3779B97F4A7C15ull ^ mix(b + 0x632BE59BD9B4E019ull));
    return h == 0 ? 1 : h;
}

// Calls `each(smallest)` with the smallest gram hash of every window of WINDOW grams starting at
// byte positions [first, end) of `content`, in order, until it returns false; each window must
// fit in `content`. Returns whether every call returned true.
template <typename Each>
bool for_each_window_minimum(std::string_view content, std::size_t first, std::size_t end,
                             Each&& each) {
    constexpr std::size_t W = ContentHistory::WINDOW;
    std::uint64_t grams[W];
    for (std::size_t i = 0; i + 1 < W && first < end; ++i) {
        grams[i] = gram_hash(content.data() + first + i);
    }
    for (std::size_t s = first; s < end; ++s) {
        grams[(s - first + W - 1) % W] = gram_hash(content.data() + s + W - 1);
        if (!each(*std::min_element(grams, grams + W))) {
            return false;
        }
    }
    return true;
}

}  // namespace

void ContentHistory::record_cut(std::string_view before, std::size_t offset, std::size_t removed,
                                std::size_t inserted, bool edited) {
    // A change inside the text its run typed destroys only contents that held some of that text:
    // the run's transient states. Any other change starts a run, and what it cuts into is kept.
    bool const small = edited && inserted <= RUN_INSERT_LIMIT;
    bool const continues = in_run_ && small && offset >= run_begin_ && offset + removed <= run_end_;
    if (!continues) {
        keep_neighbourhood(before, offset, removed);
        run_begin_ = offset;
        run_end_ = offset + removed;
    }
    in_run_ = small;
    run_end_ = run_end_ - removed + inserted;
}

void ContentHistory::record_result(std::string_view after, std::size_t offset,
                                   std::size_t inserted) {
    // Windows that hold an inserted byte, or both bytes beside the cut when nothing was inserted:
    // those starting from LONG_TEXT - 1 bytes before the change up to its last inserted byte.
    if (after.size() >= LONG_TEXT) {
        std::size_t const first = offset >= LONG_TEXT - 1 ? offset - (LONG_TEXT - 1) : 0;
        std::size_t const end = std::min(offset + inserted, after.size() - LONG_TEXT + 1);
        keep_fingerprints(after, first, end);
    }
}

void ContentHistory::keep_fingerprints(std::string_view content, std::size_t first_window,
                                       std::size_t end_window) {
    std::uint64_t last = 0;
    for_each_window_minimum(content, first_window, end_window, [&](std::uint64_t smallest) {
        if (smallest != last) {
            add_fingerprint(smallest);
            last = smallest;
        }
        return true;
    });
}

void ContentHistory::keep_neighbourhood(std::string_view before, std::size_t offset,
                                        std::size_t removed) {
    std::size_t const begin = offset >= LONG_TEXT - 1 ? offset - (LONG_TEXT - 1) : 0;
    std::size_t const end = std::min(before.size(), offset + removed + LONG_TEXT - 1);
    if (removed == 0 && (offset == 0 || offset >= before.size())) {
        return;  // an insertion at either end cuts nothing
    }
    neighbourhoods_.append(before.substr(begin, end - begin));
    neighbourhood_ends_.push_back(neighbourhoods_.size());
}

bool ContentHistory::holds(std::string_view text) const {
    if (text.empty()) {
        return true;
    }
    if (text.size() < LONG_TEXT) {
        return in_neighbourhoods(text);
    }
    return for_each_window_minimum(
        text, 0, text.size() - LONG_TEXT + 1,
        [&](std::uint64_t smallest) { return has_fingerprint(smallest); });
}

bool ContentHistory::in_neighbourhoods(std::string_view text) const {
    char const* const data = neighbourhoods_.data();
    std::size_t from = 0;
    while (from + text.size() <= neighbourhoods_.size()) {
        void const* found =
            ::memmem(data + from, neighbourhoods_.size() - from, text.data(), text.size());
        if (found == nullptr) {
            return false;
        }
        auto const at = static_cast<std::size_t>(static_cast<char const*>(found) - data);
        // The neighbourhood the match starts in must also hold its end.
        auto const end =
            std::upper_bound(neighbourhood_ends_.begin(), neighbourhood_ends_.end(), at);
        if (at + text.size() <= *end) {
            return true;
        }
        from = *end;
    }
    return false;
}

bool ContentHistory::has_fingerprint(std::uint64_t hash) const {
    if (table_.empty()) {
        return false;
    }
    std::size_t const mask = table_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        if (table_[slot] == hash) {
            return true;
        }
        if (table_[slot] == 0) {
            return false;
        }
    }
}

void ContentHistory::add_fingerprint(std::uint64_t hash) {
    if ((fingerprints_ + 1) * 10 > table_.size() * 7) {
        std::vector<std::uint64_t> old(std::max<std::size_t>(1024, table_.size() * 2));
        old.swap(table_);
        fingerprints_ = 0;
        for (std::uint64_t const kept : old) {
            if (kept != 0) {
                add_fingerprint(kept);
            }
        }
    }
    std::size_t const mask = table_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        if (table_[slot] == hash) {
            return;
        }
        if (table_[slot] == 0) {
            table_[slot] = hash;
            ++fingerprints_;
            return;
        }
    }
}
