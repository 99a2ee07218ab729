#include "index/content_census.hpp"

#include <algorithm>

// Bytes [begin, end) of `content`, and the pairs that hold one of them or join the byte before
// `begin` to the one at `end`: those starting from begin - 1 up to end - 1.
void ContentCensus::add_to_contents(std::string_view content, std::size_t begin, std::size_t end,
                                    Entry entry) {
    for (std::size_t at = begin; at < end; ++at) {
        unsigned const byte = byte_at(content, at);
        if (byte_count_[byte]++ == 0 || byte_hint_[byte] == NO_ENTRY) {
            byte_hint_[byte] = entry;
        }
    }
    for (std::size_t at = begin == 0 ? 0 : begin - 1; at < end && at + 1 < content.size(); ++at) {
        unsigned const pair = pair_at(content, at);
        if (pair_count_[pair]++ == 0 || pair_hint_[pair] == NO_ENTRY) {
            pair_hint_[pair] = entry;
        }
    }
}

void ContentCensus::remove_from_contents(std::string_view content, std::size_t begin,
                                         std::size_t end) {
    for (std::size_t at = begin; at < end; ++at) {
        unsigned const byte = byte_at(content, at);
        if (--byte_count_[byte] == 0) {
            byte_hint_[byte] = NO_ENTRY;
        }
    }
    for (std::size_t at = begin == 0 ? 0 : begin - 1; at < end && at + 1 < content.size(); ++at) {
        unsigned const pair = pair_at(content, at);
        if (--pair_count_[pair] == 0) {
            pair_hint_[pair] = NO_ENTRY;
        }
    }
}

void ContentCensus::content_dropped(std::string_view content) {
    remove_from_contents(content, 0, content.size());
}

void ContentCensus::history_kept(Entry entry, std::string_view neighbourhood) {
    for (std::size_t at = 0; at < neighbourhood.size(); ++at) {
        unsigned const byte = byte_at(neighbourhood, at);
        if (!history_byte_[byte]) {
            history_byte_[byte] = true;
            history_byte_hint_[byte] = entry;
        }
        if (at + 1 < neighbourhood.size()) {
            unsigned const pair = pair_at(neighbourhood, at);
            if (!history_pair_[pair]) {
                history_pair_[pair] = true;
                history_pair_hint_[pair] = entry;
            }
        }
    }
}

bool ContentCensus::may_be_in_contents(std::string_view text) const {
    if (text.size() == 1) {
        return byte_count_[byte_at(text, 0)] != 0;
    }
    for (std::size_t at = 0; at + 1 < text.size(); ++at) {
        if (pair_count_[pair_at(text, at)] == 0) {
            return false;
        }
    }
    return true;
}

bool ContentCensus::may_be_in_histories(std::string_view text) const {
    if (text.size() == 1) {
        return history_byte_[byte_at(text, 0)];
    }
    for (std::size_t at = 0; at + 1 < text.size(); ++at) {
        if (!history_pair_[pair_at(text, at)]) {
            return false;
        }
    }
    return true;
}

unsigned ContentCensus::rarest_pair(std::string_view text) const {
    unsigned rarest = pair_at(text, 0);
    for (std::size_t at = 1; at + 1 < text.size(); ++at) {
        unsigned const pair = pair_at(text, at);
        if (pair_count_[pair] < pair_count_[rarest]) {
            rarest = pair;
        }
    }
    return rarest;
}

ContentCensus::Entry ContentCensus::content_hint(std::string_view text) const {
    return text.size() == 1 ? byte_hint_[byte_at(text, 0)] : pair_hint_[rarest_pair(text)];
}

ContentCensus::Entry ContentCensus::history_hint(std::string_view text) const {
    return text.size() == 1 ? history_byte_hint_[byte_at(text, 0)]
                            : history_pair_hint_[pair_at(text, 0)];
}

void ContentCensus::found_in_content(std::string_view text, Entry entry) {
    if (text.size() == 1) {
        byte_hint_[byte_at(text, 0)] = entry;
    } else {
        pair_hint_[rarest_pair(text)] = entry;
    }
}

void ContentCensus::found_in_history(std::string_view text, Entry entry) {
    if (text.size() == 1) {
        history_byte_hint_[byte_at(text, 0)] = entry;
    } else {
        history_pair_hint_[pair_at(text, 0)] = entry;
    }
}
