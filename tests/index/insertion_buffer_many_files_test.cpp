// Searches across many files must answer as a search through every file would: the buffer skips
// files when it can, and these tests look for a text it would miss by skipping one.
#include "index/insertion_buffer.hpp"
#include "support/captured_log.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string name(std::size_t number) {
    return "/p/f" + std::to_string(number);
}

void load(InsertionBuffer& buffer, std::string const& path, std::string const& text) {
    buffer.set_filecontent(path, text);
    buffer.update(path);
}

void edit(InsertionBuffer& buffer, std::string const& path, unsigned long offset,
          unsigned long count, std::string const& text) {
    buffer.edit_filecontent(path, offset, count, text);
    buffer.update(path);
}

// Whether the place `found` names in a content holds `text`.
bool in_named_content(InsertionBuffer const& buffer, CopySource const& found,
                      std::string const& text) {
    auto const content = buffer.get_filecontent(found.path);
    return content && found.offset && content->substr(*found.offset, text.size()) == text;
}

// Runs `searches` with the log captured; the results are checked once the log is read back.
template <typename Searches>
auto quietly(Searches&& searches) {
    capture_log();
    auto results = searches();
    captured_log();
    return results;
}

std::optional<CopySource> find(InsertionBuffer& buffer, std::string const& text) {
    return quietly([&] { return buffer.find(text); });
}

}  // namespace

// Each of two thousand files holds a byte pair no other file has; each pair is found in its file,
// also after the file that held it last lost it and another file gained it, and after a rename
// replaced the file that held it.
TEST(InsertionBufferManyFiles, EveryFileIsFoundHoweverTheHoldersChange) {
    InsertionBuffer buffer;
    std::size_t const files = 2000;
    auto const token = [](std::size_t number) {
        return std::string{static_cast<char>('A' + number % 40),
                           static_cast<char>(0x80 + number / 40)};
    };
    for (std::size_t i = 0; i < files; ++i) {
        load(buffer, name(i), "common text " + token(i) + " common");
    }
    auto const found = quietly([&] {
        std::vector<std::optional<CopySource>> each;
        for (std::size_t i = 0; i < files; ++i) {
            each.push_back(buffer.find(token(i)));
        }
        return each;
    });
    for (std::size_t i = 0; i < files; ++i) {
        ASSERT_TRUE(found[i]) << i;
        EXPECT_EQ(found[i]->path, name(i));
        EXPECT_EQ(found[i]->offset, 12u);
    }
    // A byte that only the first file holds, then only the last: the first loses it by an edit.
    edit(buffer, name(0), 0, 0, "~");
    EXPECT_EQ(find(buffer, "~")->path, name(0));
    edit(buffer, name(files - 1), 3, 0, "~");
    edit(buffer, name(0), 0, 1, "");
    auto const moved = find(buffer, "~");
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->path, name(files - 1));
    EXPECT_EQ(moved->offset, 3u);
    // The holder's entry replaced by a rename: the renamed file's content is what is searched.
    edit(buffer, name(5), 0, 0, "^^");
    EXPECT_EQ(find(buffer, "^^")->path, name(5));
    ASSERT_TRUE(buffer.rename_file(name(6), name(5)));
    EXPECT_FALSE(find(buffer, "^^"));  // gone with the entry the rename replaced
    EXPECT_EQ(find(buffer, token(6))->path, name(5));
    edit(buffer, name(files - 2), 0, 0, "^^");
    EXPECT_EQ(find(buffer, "^^")->path, name(files - 2));
    // A short text that only a history keeps (cut out of the middle of a file), then one that
    // no file ever held.
    edit(buffer, name(900), 8, 8, "");
    auto const cut = find(buffer, "xt " + token(900) + " c");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->path, name(900));
    EXPECT_EQ(cut->offset, std::nullopt);
    EXPECT_FALSE(find(buffer, token(900) + token(901)));
    EXPECT_FALSE(find(buffer, "|"));
}

// Random edits, resets and renames over a hundred files with a small alphabet: every search
// answers as the files searched one by one (each file alone in a buffer of its own) would, and a
// place named in a content holds the text.
TEST(InsertionBufferManyFiles, AgreesWithSearchingEachFileOnItsOwn) {
    std::mt19937 rng(11);
    auto const text = [&](std::size_t length) {
        std::string out(length, 'a');
        for (auto& c : out) {
            c = "abcdefgh\n "[rng() % 10];
        }
        return out;
    };
    InsertionBuffer all;
    std::map<std::string, std::unique_ptr<InsertionBuffer>> alone;
    std::size_t const files = 100;
    for (std::size_t i = 0; i < files; ++i) {
        std::string const content = text(rng() % 60);
        load(all, name(i), content);
        load(*alone.emplace(name(i), std::make_unique<InsertionBuffer>()).first->second, name(i),
             content);
    }
    capture_log();  // failures are reported after the log is read back
    std::string mismatch;
    for (int round = 0; round < 3000 && mismatch.empty(); ++round) {
        std::string const path = name(rng() % files);
        unsigned const kind = rng() % 20;
        if (kind == 0) {
            std::string const to = name(rng() % (files + 20));
            if (all.rename_file(path, to) && to != path) {
                auto moved = std::move(alone.at(path));
                alone.erase(path);
                moved->rename_file(path, to);
                alone[to] = std::move(moved);
            }
            continue;
        }
        if (!alone.contains(path)) {
            continue;
        }
        std::size_t const size = all.get_filecontent(path)->size();
        if (kind == 1) {
            std::string const content = text(rng() % 80);
            load(all, path, content);
            load(*alone.at(path), path, content);
        } else {
            unsigned long const offset = rng() % (size + 1);
            unsigned long const count = rng() % 3 == 0 ? rng() % 6 : 0;
            std::string const inserted = text(rng() % 3 == 0 ? 0 : 1 + rng() % 3);
            edit(all, path, offset, count, inserted);
            edit(*alone.at(path), path, offset, count, inserted);
        }
        for (int search = 0; search < 4; ++search) {
            std::string wanted = text(1 + rng() % (search == 3 ? 30 : 4));
            bool expected = false;
            for (auto& [key, single] : alone) {
                expected = expected || single->contains(wanted);
            }
            auto const found = all.find(wanted);
            if (found.has_value() != expected ||
                (found && found->offset && !in_named_content(all, *found, wanted))) {
                mismatch = std::to_string(round) + ": " + wanted;
                break;
            }
        }
    }
    captured_log();
    EXPECT_EQ(mismatch, "");
}
