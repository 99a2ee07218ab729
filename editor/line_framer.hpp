#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Splits a connection's byte stream into lines at each line feed. Only the bytes of each new chunk
// are searched, so a long line costs time linear in its length. Empty lines are skipped; a
// carriage return stays part of its line. A line that grows past `cap` bytes without a line feed
// is dropped up to its next line feed, and the lines after it are kept.
class LineFramer {
public:
    static constexpr std::size_t DEFAULT_CAP = std::size_t{64} << 20;

    explicit LineFramer(std::size_t cap = DEFAULT_CAP) : cap_(cap) {}

    // The complete, non-empty lines that `chunk` finishes, in order.
    std::vector<std::string> feed(std::string_view chunk);

    // Bytes of the line still waiting for its line feed (0 while a long line is being dropped).
    std::size_t pending_size() const { return pending_.size(); }
    // How many over-long lines have been dropped so far.
    std::size_t dropped_lines() const { return dropped_; }

private:
    std::size_t cap_;
    std::string pending_;
    bool dropping_ = false;
    std::size_t dropped_ = 0;
};
