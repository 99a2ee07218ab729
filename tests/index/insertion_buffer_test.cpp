#include "index/insertion_buffer.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

namespace {

constexpr unsigned long kAllOnes = std::numeric_limits<unsigned long>::max();

long count_of(std::string const& haystack, std::string const& needle) {
    long n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Runs contains() and returns its result together with what it logged.
std::pair<bool, std::string> search(InsertionBuffer& buffer, std::string const& text) {
    testing::internal::CaptureStdout();
    bool const found = buffer.contains(text);
    return {found, testing::internal::GetCapturedStdout()};
}

bool found(InsertionBuffer& buffer, std::string const& text) {
    return search(buffer, text).first;
}

void load(InsertionBuffer& buffer, std::filesystem::path const& path, std::string content) {
    buffer.set_filecontent(path, std::move(content));
    buffer.update(path);
}

// One editor change message as the editor channel applies it.
void change(InsertionBuffer& buffer, std::filesystem::path const& path, unsigned long offset,
            unsigned long deleted, std::string const& inserted) {
    buffer.delete_filecontent(path, offset, deleted);
    buffer.insert_filecontent(path, offset, inserted);
    buffer.update(path);
}

}  // namespace

TEST(InsertionBuffer, ChangingOperationsCreateEntriesAndEditAtByteOffsets) {
    InsertionBuffer buffer;
    EXPECT_FALSE(buffer.get_filecontent("/p/a").has_value());
    buffer.insert_filecontent("/p/a", 0, "hello world");
    buffer.delete_filecontent("/p/b", 0, 3);
    EXPECT_EQ(buffer.get_filecontent("/p/b"), "");
    buffer.delete_filecontent("/p/a", 6, 5);
    buffer.insert_filecontent("/p/a", 6, "there");
    buffer.delete_filecontent("/p/a", 5, 0);
    EXPECT_EQ(buffer.get_filecontent("/p//a"), "hello there");  // element-wise path equality
    buffer.delete_filecontent("/p/a", 5, kAllOnes);
    EXPECT_EQ(buffer.get_filecontent("/p/a"), "hello");
    EXPECT_FALSE(buffer.get_filecontent("/p/c").has_value());
}

TEST(InsertionBuffer, EditBeyondTheEndIsReportedIgnoredAndLeavesTheBufferUsable) {
    InsertionBuffer buffer;
    buffer.set_filecontent("/proj/main.cpp", "abc");
    testing::internal::CaptureStdout();
    buffer.insert_filecontent("/proj/main.cpp", 7, "x");
    buffer.delete_filecontent("/proj/main.cpp", 4, kAllOnes);
    std::string const out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_of(out, "[InsertionBuffer]"), 2) << out;
    EXPECT_NE(out.find("/proj/main.cpp at offset 7 ignored: the content has 3 bytes"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("at offset 4 ignored: the content has 3 bytes"), std::string::npos);
    // The lock was released: every operation still works.
    EXPECT_EQ(buffer.get_filecontent("/proj/main.cpp"), "abc");
    buffer.insert_filecontent("/proj/main.cpp", 3, "d");
    buffer.update("/proj/main.cpp");
    EXPECT_TRUE(found(buffer, "abcd"));
}

TEST(InsertionBuffer, EmptyBufferFindsNothingAndEmptyTextNeedsOneEntry) {
    InsertionBuffer buffer;
    auto const [none, log] = search(buffer, "");
    EXPECT_FALSE(none);
    EXPECT_EQ(log,
              "[InsertionBuffer] checking if the following content exists...\ncontent=\n"
              "[InsertionBuffer]> no file contains the content!\n");
    buffer.set_filecontent("/p/only", "");
    auto const [some, log2] = search(buffer, "");
    EXPECT_TRUE(some);
    EXPECT_NE(log2.find("[InsertionBuffer]> /p/only contains the content\n"), std::string::npos)
        << log2;
}

TEST(InsertionBuffer, ContentIsSearchedOnlyAsOfTheLastUpdate) {
    InsertionBuffer buffer;
    buffer.set_filecontent("/p/a", "int answer = 42;");
    EXPECT_FALSE(found(buffer, "answer"));
    buffer.update("/p/a");
    auto const [yes, log] = search(buffer, "answer");
    EXPECT_TRUE(yes);
    EXPECT_EQ(log,
              "[InsertionBuffer] checking if the following content exists...\ncontent=answer\n"
              "[InsertionBuffer]> /p/a contains the content\n");
    // Freshly inserted text does not find itself before the update that follows the search.
    buffer.insert_filecontent("/p/a", 0, "static ");
    EXPECT_FALSE(found(buffer, "static"));
    buffer.update("/p/a");
    EXPECT_TRUE(found(buffer, "static int"));
    EXPECT_FALSE(found(buffer, "answer = 43"));
}

TEST(InsertionBuffer, ExactlyOneMatchingFileIsReported) {
    InsertionBuffer buffer;
    load(buffer, "/p/one", "shared text");
    load(buffer, "/p/two", "more shared text");
    auto const [yes, log] = search(buffer, "shared");
    EXPECT_TRUE(yes);
    EXPECT_EQ(count_of(log, "contains the content"), 1) << log;
    EXPECT_EQ(count_of(log, "\n"), 3) << log;
}

TEST(InsertionBuffer, DeletedTextIsStillFoundAfterUpdate) {
    InsertionBuffer buffer;
    load(buffer, "f", "keep this; drop that; keep");
    change(buffer, "f", 10, 11, "");
    EXPECT_EQ(buffer.get_filecontent("f"), "keep this; keep");
    EXPECT_TRUE(found(buffer, "drop that;"));
    // Still found once later edits have moved the removed run into the automaton.
    change(buffer, "f", 0, 0, "x");
    change(buffer, "f", 3, 2, "");
    EXPECT_TRUE(found(buffer, "drop that;"));
    EXPECT_TRUE(found(buffer, "xke this"));
    // A string made of both sides of the deletion existed nowhere.
    EXPECT_FALSE(found(buffer, "this; keep this"));
}

TEST(InsertionBuffer, WordErasedByBackspacesIsFoundWhole) {
    InsertionBuffer buffer;
    std::string const text = "call frobnicate(x);";
    load(buffer, "f", text);
    std::size_t const end = text.find('(');
    for (std::size_t cursor = end; cursor > 5; --cursor) {
        change(buffer, "f", cursor - 1, 1, "");
    }
    EXPECT_EQ(buffer.get_filecontent("f"), "call (x);");
    EXPECT_TRUE(found(buffer, "frobnicate"));
    // Typing elsewhere hands the run to the automaton, which keeps it whole.
    change(buffer, "f", 5, 0, "go");
    EXPECT_TRUE(found(buffer, "frobnicate"));
    EXPECT_FALSE(found(buffer, "frobnicatego"));
}

TEST(InsertionBuffer, WordErasedByForwardDeletesIsFoundWhole) {
    InsertionBuffer buffer;
    load(buffer, "f", "a quixotic b");
    for (int i = 0; i < 9; ++i) {
        change(buffer, "f", 2, 1, "");
    }
    // The last delete, a blank before a blank, could be either; the run's direction decides.
    EXPECT_EQ(buffer.get_filecontent("f"), "a b");
    EXPECT_TRUE(found(buffer, "quixotic "));
    EXPECT_FALSE(found(buffer, " quixotic"));
}

TEST(InsertionBuffer, BackspacesThroughRepeatedLettersKeepTheErasedOrder) {
    InsertionBuffer buffer;
    // Erasing x then the b before it: "abb" to "ab" could be either b, but only the b that
    // precedes the run continues it.
    load(buffer, "f", "abxb");
    change(buffer, "f", 2, 1, "");
    change(buffer, "f", 1, 1, "");
    EXPECT_EQ(buffer.get_filecontent("f"), "ab");
    EXPECT_TRUE(found(buffer, "bx"));
    EXPECT_FALSE(found(buffer, "xb"));
}

TEST(InsertionBuffer, SeparateDeletionsAreSeparateRuns) {
    InsertionBuffer buffer;
    load(buffer, "f", "0123456789");
    change(buffer, "f", 7, 2, "");  // removes 78
    change(buffer, "f", 1, 2, "");  // removes 12, not adjacent
    EXPECT_TRUE(found(buffer, "78"));
    EXPECT_TRUE(found(buffer, "12"));
    EXPECT_FALSE(found(buffer, "1278"));
    EXPECT_FALSE(found(buffer, "7812"));
    // Replaced text goes to the index at once.
    change(buffer, "f", 0, 3, "abc");
    EXPECT_TRUE(found(buffer, "034"));
    EXPECT_FALSE(found(buffer, "03412"));
}

TEST(InsertionBuffer, TextRemovedByAResetIsStillFound) {
    InsertionBuffer buffer;
    load(buffer, "/p/f", "header\nold body line\nfooter\n");
    load(buffer, "/p/f", "header\nnew\nfooter\n");
    EXPECT_EQ(buffer.get_filecontent("/p/f"), "header\nnew\nfooter\n");
    EXPECT_TRUE(found(buffer, "old body line"));
    EXPECT_TRUE(found(buffer, "header\nnew\nfooter"));
    // A reset to a wholly different content keeps the whole previous one.
    load(buffer, "/p/f", "replacement");
    EXPECT_TRUE(found(buffer, "header\nnew\nfooter\n"));
    EXPECT_TRUE(found(buffer, "old body line"));
}

TEST(InsertionBuffer, UnchangedUpdatesAddNothingAndAsyncUpdateFeedsTheAutomatonOnly) {
    InsertionBuffer buffer;
    load(buffer, "f", "some content");
    auto const states = buffer.automaton_size("f");
    buffer.update("f");
    EXPECT_EQ(buffer.automaton_size("f"), states);
    EXPECT_EQ(buffer.automaton_size("missing"), 0u);
    buffer.async_update("g", "absorbed");
    EXPECT_EQ(buffer.get_filecontent("g"), "");
    EXPECT_TRUE(found(buffer, "sorb"));
}

TEST(InsertionBuffer, UpdatesAfterAnyMixOfEditsIndexAsAFullComparisonWould) {
    // `fast` is updated after its edits as the editor channel does; `full` gets the same edits,
    // but its content is set anew before each update, which makes the update compare it whole.
    InsertionBuffer fast;
    InsertionBuffer full;
    std::mt19937 rng(7);
    auto const text = [&](std::size_t length) {
        std::string out(length, 'a');
        for (auto& c : out) {
            c = static_cast<char>('a' + rng() % 3);
        }
        return out;
    };
    std::string const start = text(9000);
    load(fast, "f", start);
    load(full, "f", start);
    for (int round = 0; round < 300; ++round) {
        testing::internal::CaptureStdout();  // edits beyond the end are reported
        for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0; --edits) {
            std::size_t const size = fast.get_filecontent("f")->size();
            unsigned long const offset = rng() % (size + 3);  // now and then beyond the end
            unsigned long const count = rng() % 4 == 0 ? rng() % 3000 : rng() % 3;
            std::string const inserted = text(rng() % 3 == 0 ? 0 : rng() % 40);
            if (rng() % 50 == 0) {
                std::string reset = *fast.get_filecontent("f");
                reset.insert(reset.size() / 2, inserted);
                fast.set_filecontent("f", reset);
                full.set_filecontent("f", reset);
                continue;
            }
            for (InsertionBuffer* buffer : {&fast, &full}) {
                buffer->delete_filecontent("f", offset, count);
                if (!inserted.empty()) {
                    buffer->insert_filecontent("f", offset, inserted);
                }
            }
        }
        fast.update("f");
        full.set_filecontent("f", *full.get_filecontent("f"));
        full.update("f");
        // The whole content is found only where the index holds exactly the content.
        std::string const now = *fast.get_filecontent("f");
        bool const indexed_whole = fast.contains(now);
        bool const same_removed_text = fast.contains(start.substr(round * 20, 200)) ==
                                       full.contains(start.substr(round * 20, 200));
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(full.get_filecontent("f"), now) << round;
        ASSERT_TRUE(indexed_whole) << round;
        ASSERT_TRUE(same_removed_text) << round;
        ASSERT_EQ(fast.automaton_size("f"), full.automaton_size("f")) << round;
    }
}

TEST(InsertionBuffer, LongTypingSessionInTheMiddleKeepsTheAutomatonSmall) {
    InsertionBuffer buffer;
    std::string content;
    while (content.size() < 100'000) {
        content += "for (int i = 0; i < n; ++i) { total += values[i]; }\n";
    }
    load(buffer, "big", content);
    std::string const typed = "the quick brown fox jumps over the lazy dog ";
    std::size_t cursor = content.size() / 2;
    std::size_t erased = 0;
    for (int i = 0; i < 2000; ++i) {
        if (i % 10 == 9) {
            change(buffer, "big", cursor - 1, 1, "");
            --cursor;
            ++erased;
        } else {
            change(buffer, "big", cursor, 0, std::string(1, typed[i % typed.size()]));
            ++cursor;
        }
    }
    // Only removed text is absorbed: at most two states per erased byte.
    EXPECT_LE(buffer.automaton_size("big"), 2 * erased + 1);
    auto const now = buffer.get_filecontent("big");
    ASSERT_TRUE(now.has_value());
    EXPECT_EQ(now->size(), content.size() + 2000 - 2 * erased);
    EXPECT_TRUE(found(buffer, now->substr(content.size() / 2 - 20, 200)));
}
