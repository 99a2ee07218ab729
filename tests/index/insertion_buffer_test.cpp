#include "index/insertion_buffer.hpp"
#include "support/captured_log.hpp"
#include "support/repetitive_text.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

struct Edit {
    unsigned long offset = 0, deleted = 0;
    std::string inserted;
    bool reset = false;  // the whole content replaced, as when a file changes on disk
};

// One editor change as the editor channel applies it, or a reset as the file analysis does.
void apply(InsertionBuffer& buffer, std::string const& path, Edit const& edit) {
    if (edit.reset) {
        buffer.set_filecontent(path, edit.inserted);
    } else {
        buffer.delete_filecontent(path, edit.offset, edit.deleted);
        buffer.insert_filecontent(path, edit.offset, edit.inserted);
    }
    buffer.update(path);
}

}  // namespace

// Edits at byte offsets; the search sees them only after the update. A count of all ones (-1
// converted) removes to the end without wrapping; an edit beyond the end is ignored and logged.
TEST(InsertionBuffer, EditsAtByteOffsetsReportDriftAndAreSearchedAfterTheUpdate) {
    InsertionBuffer buffer;
    capture_log();
    EXPECT_FALSE(buffer.contains(""));
    buffer.insert_filecontent("/p/a", 0, "hello world!");
    buffer.delete_filecontent("/p/a", 11, std::numeric_limits<unsigned long>::max());
    buffer.delete_filecontent("/p/a", 6, 5);
    buffer.insert_filecontent("/p//a", 6, "there");  // element-wise path equality
    buffer.delete_filecontent("/p/a", 11, 3);        // at the end: nothing to remove
    buffer.insert_filecontent("/p/a", 12, "x");
    EXPECT_FALSE(buffer.contains("there"));
    buffer.update("/p/a");
    EXPECT_TRUE(buffer.contains("o th"));
    apply(buffer, "/p/b", {0, 0, "hello"});
    EXPECT_TRUE(buffer.contains("hello"));
    std::string const log = captured_log();
    EXPECT_TRUE(log.starts_with(
        "[InsertionBuffer] checking if the following content exists...\ncontent=\n"
        "[InsertionBuffer]> no file contains the content!\n"
        "[InsertionBuffer] edit of /p/a at offset 12 ignored: the content has 11 bytes\n"
        "[InsertionBuffer] checking if the following content exists...\ncontent=there\n"
        "[InsertionBuffer]> no file contains the content!\n"
        "[InsertionBuffer] checking if the following content exists...\ncontent=o th\n"
        "[InsertionBuffer]> /p/a contains the content\n"
        "[InsertionBuffer] checking if the following content exists...\ncontent=hello\n"))
        << log;
    // Only the first of several matching files is reported.
    EXPECT_EQ(log.find("contains the content", log.find("content=hello")),
              log.rfind("contains the content"));
    EXPECT_EQ(buffer.get_filecontent("/p/a"), "hello there");
}

// Text a file held before stays findable ("!" marks text that must not be found): removed text,
// and text that a later edit cut through.
TEST(InsertionBuffer, PastContentStaysFindableAcrossLaterEdits) {
    struct Case {
        std::string content;
        std::vector<Edit> edits;
        std::vector<std::string> searches;
    };
    std::vector<Case> const cases = {
        {"keep this; drop that; keep",
         {{10, 11, ""}, {0, 0, "x"}, {3, 2, ""}},
         {"drop that;", "xke this; keep", "this; keep", "!this; keep this"}},
        // An edit inside a copied expression: the expression as it was is still found.
        {"int total = first + second;",
         {{17, 0, " + extra"}},
         {"first + second", "first + extra + second", "!first + second + extra"}},
        {"hello world", {{4, 3, ""}}, {"lo wo", "o w", "hellorld"}},
        // Backspaces, then typing elsewhere.
        {"call quix(x);",
         {{8, 1, ""}, {7, 1, ""}, {6, 1, ""}, {5, 1, ""}, {5, 0, "go"}},
         {"quix", "call quix(x)", "call go(x)", "!quixgo"}},
        {"abxb", {{2, 1, ""}, {1, 1, ""}}, {"bx", "xb", "abxb", "abb", "!ba"}},
        {"0123456789",
         {{7, 2, ""}, {1, 2, ""}, {0, 3, "abc"}},
         {"78", "12", "034", "0123456789", "!1278", "!7812"}},
        {"header\nold line\nfooter\n",
         {{0, 0, "header\nnew\nfooter\n", true}, {0, 0, "other", true}},
         {"old line", "header\nnew\nfooter\n", "other", "!header\nnew\nfooter\nother"}},
    };
    for (auto const& c : cases) {
        InsertionBuffer buffer;
        apply(buffer, "f", {0, 0, c.content, true});
        for (auto const& edit : c.edits) {
            apply(buffer, "f", edit);
        }
        capture_log();
        for (auto const& search : c.searches) {
            bool const absent = search[0] == '!';
            EXPECT_NE(buffer.contains(search.substr(absent)), absent)
                << c.content << ": " << search;
        }
        captured_log();
    }
}

// The answer names the file, and the offset when the text is in the file's content now; a file
// that holds the text now is preferred to one that only held it before.
TEST(InsertionBuffer, FindNamesTheSourceFileAndOffset) {
    InsertionBuffer buffer;
    apply(buffer, "/p/a", {0, 0, "alpha beta gamma", true});
    apply(buffer, "/p/b", {0, 0, "one two three", true});
    apply(buffer, "/p/a", {6, 5, ""});  // "alpha gamma"
    apply(buffer, "/p/b", {0, 0, "beta ", false});
    testing::internal::CaptureStdout();
    auto const now = buffer.find("beta o");
    auto const before = buffer.find("ha beta g");
    auto const nowhere = buffer.find("delta");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(now && before);
    EXPECT_EQ(now->path, "/p/b");
    EXPECT_EQ(now->offset, 0u);
    EXPECT_EQ(before->path, "/p/a");
    EXPECT_EQ(before->offset, std::nullopt);
    EXPECT_FALSE(nowhere);
}

// An editor change is searched after it edits the mirror and before its index is updated: its own
// text is never its source, while text that was there before it is; an untracked path is searched
// but gets no mirror.
TEST(InsertionBuffer, AnEditorChangeIsSearchedBetweenItsEditAndItsUpdate) {
    InsertionBuffer buffer;
    apply(buffer, "/p/a", {0, 0, "int total = first;", true});
    testing::internal::CaptureStdout();
    auto const typed = buffer.apply_editor_change("/p/a", {{17, 0}}, " + second", true);
    auto const again = buffer.apply_editor_change("/p/a", {{0, 0}}, " + second", true);
    auto const elsewhere = buffer.apply_editor_change("/p/untracked", std::nullopt, "total", false);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(typed.source);
    ASSERT_TRUE(typed.place && again.place);
    EXPECT_LT(*typed.place, *again.place);
    ASSERT_TRUE(again.source);
    EXPECT_EQ(again.source->path, "/p/a");
    EXPECT_EQ(again.source->offset, 17u);
    EXPECT_EQ(buffer.get_filecontent("/p/a"), " + secondint total = first + second;");
    ASSERT_TRUE(elsewhere.source);
    EXPECT_FALSE(elsewhere.place);
    EXPECT_EQ(buffer.get_filecontent("/p/untracked"), std::nullopt);
}

// An update compares only the part of the mirror its edits touched; a buffer whose content is set
// anew before each update compares it whole. Both must index the same text.
TEST(InsertionBuffer, UpdatesAfterAnyMixOfEditsIndexAsAFullComparisonWould) {
    InsertionBuffer fast, full;
    std::mt19937 rng(7);
    auto const text = [&](std::size_t length) { return repetitive_text(rng, length, 3); };
    std::string const start = text(9000);
    for (InsertionBuffer* buffer : {&fast, &full}) {
        apply(*buffer, "f", {0, 0, start, true});
    }
    capture_log();  // edits beyond the end are reported
    for (int round = 0; round < 300; ++round) {
        for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0; --edits) {
            std::size_t const size = fast.get_filecontent("f")->size();
            unsigned long const offset = rng() % (size + 3);  // now and then beyond the end
            unsigned long const count = rng() % 4 == 0 ? rng() % 3000 : rng() % 3;
            std::string const inserted = text(rng() % 3 == 0 ? 0 : rng() % 40);
            for (InsertionBuffer* buffer : {&fast, &full}) {
                buffer->delete_filecontent("f", offset, count);
                buffer->insert_filecontent("f", offset, inserted);
            }
        }
        fast.update("f");
        full.set_filecontent("f", *full.get_filecontent("f"));
        full.update("f");
        std::string const now = *fast.get_filecontent("f");
        std::string const removed = start.substr(round * 20, 200);
        ASSERT_EQ(full.get_filecontent("f"), now) << round;
        ASSERT_TRUE(fast.contains(now)) << round;
        ASSERT_EQ(fast.contains(removed), full.contains(removed)) << round;
    }
    captured_log();
}

// An editor change of a file whose index is up to date edits its one copy of the content in
// place. It must search, index and keep the history exactly as editing the mirror, searching and
// then updating do, whatever the change trims to, across resets, renames and ignored edits.
TEST(InsertionBuffer, AnEditorChangeMadeInPlaceIndexesAsAnEditThenAnUpdateDoes) {
    InsertionBuffer in_place, stepwise;
    std::mt19937 rng(11);
    auto const text = [&](std::size_t length) { return repetitive_text(rng, length, 3); };
    std::vector<std::string> const paths{"/p/a", "/p/b", "/p/c"};
    std::vector<std::string> contents;  // every content any file had
    auto const reset = [&](std::string const& path, std::string const& content) {
        for (InsertionBuffer* buffer : {&in_place, &stepwise}) {
            buffer->set_filecontent(path, content);
            buffer->update(path);
        }
        contents.push_back(content);
    };
    auto const same_source = [](std::optional<CopySource> const& a,
                                std::optional<CopySource> const& b) {
        return a.has_value() == b.has_value() &&
               (!a || (a->path == b->path && a->offset == b->offset));
    };
    for (std::string const& path : paths) {
        reset(path, text(rng() % 300));
    }
    capture_log();
    for (int round = 0; round < 3000; ++round) {
        std::string const& path = paths[rng() % paths.size()];
        switch (rng() % 25) {
            case 0:
                reset(path, text(rng() % 300));
                continue;
            case 1: {
                std::string const& to = paths[rng() % paths.size()];
                ASSERT_EQ(in_place.rename_file(path, to).has_value(),
                          stepwise.rename_file(path, to).has_value());
                continue;
            }
            default:
                break;
        }
        std::size_t const size = stepwise.get_filecontent(path).value_or("").size();
        unsigned long const offset = rng() % (size + 2);  // now and then beyond the end
        unsigned long const count = rng() % 4 == 0 ? rng() % 60 : rng() % 3;
        std::string inserted = text(rng() % 4);
        if (rng() % 3 == 0 && size != 0) {  // text that repeats what is there
            std::string const now = *stepwise.get_filecontent(path);
            std::size_t const from = rng() % size;
            inserted = now.substr(from, rng() % 40);
        }
        auto const made = in_place.apply_editor_change(path, {{offset, count}}, inserted, true);
        std::uint64_t const place = stepwise.edit_filecontent(path, offset, count, inserted);
        std::optional<CopySource> const found = stepwise.find(inserted);
        stepwise.update(path);
        ASSERT_EQ(made.place, place) << round;
        ASSERT_TRUE(same_source(made.source, found)) << round;
        std::string const now = *stepwise.get_filecontent(path);
        ASSERT_EQ(in_place.get_filecontent(path), now) << round;
        contents.push_back(now);
        if (round % 100 == 0) {
            // Short texts are found in neighbourhoods, long ones by fingerprints.
            for (int probe = 0; probe < 200; ++probe) {
                std::string const& past = contents[rng() % contents.size()];
                std::size_t const from = past.empty() ? 0 : rng() % past.size();
                std::string const piece =
                    rng() % 4 == 0 ? text(1 + rng() % 6) : past.substr(from, 1 + rng() % 30);
                ASSERT_TRUE(same_source(in_place.find(piece), stepwise.find(piece)))
                    << round << ": " << piece;
            }
        }
    }
    captured_log();
}

// A renamed file keeps its content and index under the new path, replacing what that path had.
TEST(InsertionBuffer, RenameMovesContentAndIndex) {
    InsertionBuffer buffer;
    buffer.set_filecontent("/p/a", "alpha beta");
    buffer.update("/p/a");
    buffer.delete_filecontent("/p/a", 0, 6);
    buffer.update("/p/a");
    std::uint64_t const before = buffer.set_filecontent("/p/b", "old");
    auto const moved = buffer.rename_file("/p/a", "/p/b");
    ASSERT_TRUE(moved);
    // The move has its own place in the order, after every change before it.
    EXPECT_GT(moved->place, before);
    EXPECT_EQ(moved->content, "beta");
    EXPECT_GT(buffer.insert_filecontent("/p/b", 0, "x"), moved->place);
    buffer.delete_filecontent("/p/b", 0, 1);
    EXPECT_EQ(buffer.get_filecontent("/p/b"), "beta");
    EXPECT_FALSE(buffer.get_filecontent("/p/a"));
    EXPECT_TRUE(buffer.contains("alpha "));  // removed text stays findable
    EXPECT_FALSE(buffer.rename_file("/p/a", "/p/c"));
    EXPECT_FALSE(buffer.get_filecontent("/p/c"));
}
