#include "editor/line_framer.hpp"

#include <cstring>

std::vector<std::string> LineFramer::feed(std::string_view chunk) {
    std::vector<std::string> lines;
    while (!chunk.empty()) {
        void const* found = std::memchr(chunk.data(), '\n', chunk.size());
        if (found == nullptr) {
            if (!dropping_) {
                pending_.append(chunk);
                if (pending_.size() > cap_) {
                    std::string{}.swap(pending_);  // give the memory back, not just the length
                    dropping_ = true;
                    ++dropped_;
                }
            }
            break;
        }
        auto const end = static_cast<std::size_t>(static_cast<char const*>(found) - chunk.data());
        if (dropping_) {
            dropping_ = false;
        } else if (pending_.empty()) {
            if (end > 0) {
                lines.emplace_back(chunk.substr(0, end));
            }
        } else {
            pending_.append(chunk.substr(0, end));
            lines.push_back(std::move(pending_));
            pending_.clear();
        }
        chunk.remove_prefix(end + 1);
    }
    return lines;
}
