#include "index/insertion_buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

// Random editing sessions on a small alphabet, so that texts repeat and edits cut through them,
// checked against a model that keeps every past content whole.
class Session {
public:
    explicit Session(unsigned seed) : rng_(seed) {
        content_ = text(300);
        buffer_.set_filecontent("f", content_);
        buffer_.update("f");
        pasts_.push_back(content_);
    }

    std::string text(std::size_t length) {
        std::string out(length, 'a');
        for (auto& c : out) {
            c = static_cast<char>('a' + rng_() % 4);
        }
        return out;
    }
    std::size_t pick(std::size_t bound) { return bound == 0 ? 0 : rng_() % bound; }

    // One change, as the editor channel applies it.
    void change(std::size_t offset, std::size_t removed, std::string const& inserted) {
        removed = std::min(removed, content_.size() - offset);
        content_.replace(offset, removed, inserted);
        buffer_.delete_filecontent("f", offset, removed);
        buffer_.insert_filecontent("f", offset, inserted);
        buffer_.update("f");
        pasts_.push_back(content_);
    }

    // Every substring of length [min_length, max_length] of the recorded contents, by sampling.
    template <typename Check>
    void each_substring_of(std::vector<std::string> const& contents, std::size_t min_length,
                           std::size_t max_length, Check&& check) {
        for (auto const& past : contents) {
            for (int i = 0; i < 20 && past.size() >= min_length; ++i) {
                std::size_t const length =
                    min_length + pick(std::min(max_length, past.size()) - min_length + 1);
                std::size_t const at = pick(past.size() - length + 1);
                check(past.substr(at, length));
            }
        }
    }

    bool in_some_past(std::string const& text) const {
        return std::any_of(pasts_.begin(), pasts_.end(),
                           [&](auto const& past) { return past.find(text) != std::string::npos; });
    }

    std::mt19937 rng_;
    std::string content_;
    InsertionBuffer buffer_;
    std::vector<std::string> pasts_;
};

}  // namespace

// Changes at random places, none inside the text the one before inserted: every content was the
// start of a run, so every substring of every one of them is found, short or long; and a short
// text is found only if some content held it.
TEST(ContentHistory, ChangesAtRandomPlacesKeepEverySubstringOfEveryContent) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        Session session(seed);
        std::size_t typed_at = 0;
        std::size_t typed = 0;
        for (int i = 0; i < 120; ++i) {
            std::size_t offset = 0;
            std::size_t removed = 0;
            do {
                offset = session.pick(session.content_.size() + 1);
                removed = std::min(session.pick(3) == 0 ? session.pick(40) : 0,
                                   session.content_.size() - offset);
            } while (offset >= typed_at && offset + removed <= typed_at + typed);
            std::string const inserted = session.text(session.pick(3) == 0 ? 0 : session.pick(30));
            session.change(offset, removed, inserted);
            typed_at = offset;
            typed = inserted.size();
        }
        session.each_substring_of(session.pasts_, 1, 200, [&](std::string const& text) {
            ASSERT_TRUE(session.buffer_.contains(text)) << seed << ": " << text;
        });
        for (int i = 0; i < 300; ++i) {
            std::string const text = session.text(1 + session.pick(ContentHistory::LONG_TEXT - 1));
            if (session.buffer_.contains(text)) {
                ASSERT_TRUE(session.in_some_past(text)) << seed << ": " << text;
            }
        }
    }
}

// Typing runs: long substrings of every content are found, and every substring of the contents
// in which a run started; only short texts of a run's passing states may be lost.
TEST(ContentHistory, TypingRunsKeepLongTextsAlwaysAndShortOnesAtEachRunStart) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        Session session(seed * 101);
        std::vector<std::string> run_starts{session.content_};
        std::size_t run_at = 0;
        std::size_t typed = 0;
        for (int run = 0; run < 40; ++run) {
            run_starts.push_back(session.content_);
            std::size_t cursor = 0;
            do {  // away from the text the last run typed, or this would continue it
                cursor = session.pick(session.content_.size() + 1);
            } while (run > 0 && cursor >= run_at && cursor <= run_at + typed);
            run_at = cursor;
            typed = 0;
            for (int key = 1 + static_cast<int>(session.pick(15)); key > 0; --key) {
                if (typed > 0 && session.pick(4) == 0) {
                    session.change(--cursor, 1, "");
                    --typed;
                } else {
                    session.change(cursor++, 0, session.text(1));
                    ++typed;
                }
            }
        }
        session.each_substring_of(
            session.pasts_, ContentHistory::LONG_TEXT, 300,
            [&](std::string const& text) { ASSERT_TRUE(session.buffer_.contains(text)) << seed; });
        session.each_substring_of(run_starts, 1, 60, [&](std::string const& text) {
            ASSERT_TRUE(session.buffer_.contains(text)) << seed << ": " << text;
        });
    }
}
