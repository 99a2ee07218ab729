#include "editor/change_message.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

using nlohmann::json;

static json message() {
    return json::parse(R"({"file": "/p", "type": "change", "inserted": "abc", "deletedCount": 2,
        "offset": 7, "causedByUndoRedo": true, "causedByCopyPaste": false, "isSaved": false})");
}

// Numbers convert as the JSON library does unless the result would be meaningless (a line may
// end with a carriage return); malformed lines raise the parser's own errors.
TEST(ChangeMessage, NumbersAndMalformedLines) {
    constexpr std::uint64_t all_ones = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::string> const values = {"-1",     "-2",  "18446744073709551615", "3.9", "-0.5",
                                             "1.8e19", "true"};
    std::vector<std::uint64_t> const converted = {
        all_ones, all_ones - 1, all_ones, 3, 0, 18000000000000000000ull, 1};
    for (std::size_t i = 0; i < values.size(); ++i) {
        json line = message();
        line["offset"] = json::parse(values[i]);
        EXPECT_EQ(parse_event(line.dump() + "\r").offset, converted[i]) << values[i];
    }
    std::string too_large = message().dump();  // read as floating-point by the parser
    too_large.replace(too_large.find("\"offset\":7"), 10, "\"offset\":18446744073709551616");
    std::vector<std::pair<std::string, std::string>> cases{
        {too_large, "\"offset\" is 1.8446744073709552e+19, not an unsigned 64-bit number"},
        {"not json", "parse_error"},
        {"[1, 2]", "cannot use operator[] with a string argument with array"}};
    for (auto const& [key, value, expected] :
         std::vector<std::tuple<std::string, json, std::string>>{
             {"inserted", nullptr, "type must be string, but is null"},
             {"causedByCopyPaste", 1, "type must be boolean, but is number"},
             {"deletedCount", "2", "type must be number, but is string"},
             {"deletedCount", -1.0, "\"deletedCount\" is -1.0, not"},
             {"deletedCount", 1e20, "\"deletedCount\" is 1e+20, not"}}) {
        json line = message();
        line[key] = value;
        cases.emplace_back(line.dump(), expected);
    }
    for (auto const& [text, expected] : cases) {
        try {
            parse_event(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (std::exception const& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos)
                << text << ": " << error.what();
        }
    }
}

// Messages about the editor's document add optional keys; the eight keys stay required.
TEST(ChangeMessage, DocumentKeysAreOptionalAndTyped) {
    json line = message();
    line["type"] = "open";
    VSCodeEvent const plain = parse_event(line.dump());
    EXPECT_FALSE(plain.text_length);
    EXPECT_EQ(plain.encoding, "");
    EXPECT_FALSE(plain.text_included);

    line.update({{"length", 12},
                 {"sha256", "ab"},
                 {"encoding", "iso88591"},
                 {"eol", "\r\n"},
                 {"bom", true},
                 {"textIncluded", true},
                 {"oldFile", "/q"}});
    VSCodeEvent const full = parse_event(line.dump());
    EXPECT_EQ(full.text_length, 12u);
    EXPECT_EQ(full.text_sha256, "ab");
    EXPECT_EQ(full.encoding, "iso88591");
    EXPECT_EQ(full.eol, "\r\n");
    EXPECT_TRUE(full.bom);
    EXPECT_TRUE(full.text_included);
    EXPECT_EQ(full.old_filepath, "/q");

    line["textIncluded"] = "yes";
    EXPECT_THROW(parse_event(line.dump()), json::type_error);
    line["textIncluded"] = nullptr;  // null counts as absent
    EXPECT_FALSE(parse_event(line.dump()).text_included);
    line["length"] = -3.5;
    EXPECT_THROW(parse_event(line.dump()), BadChangeMessage);
}

// The editor's JSON encoding writes a lone surrogate of a document as its escape; it is read as
// U+FFFD, the three bytes the extension counted for it, and a proper pair stays one character.
TEST(ChangeMessage, LoneSurrogatesAreReadAsTheReplacementCharacter) {
    auto const inserted = [](std::string const& escaped) {
        return parse_event(R"({"file":"/p","type":"change","inserted":")" + escaped +
                           R"(","deletedCount":0,"offset":0,"causedByUndoRedo":false,)"
                           R"("causedByCopyPaste":false,"isSaved":false})")
            .inserted;
    };
    std::string const replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(inserted(R"(a\ud800b)"), "a" + replacement + "b");
    EXPECT_EQ(inserted(R"(\uDC00\uD83D)"), replacement + replacement);
    EXPECT_EQ(inserted(R"(\ud83d\ude00\ud83d)"), "\U0001F600" + replacement);
    EXPECT_EQ(inserted(R"(\ud800\u0041)"), replacement + "A");
    // An escaped backslash before "ud800" is no escape of a surrogate.
    EXPECT_EQ(inserted(R"(\\ud800\u00e9)"), "\\ud800\u00e9");
    EXPECT_EQ(replace_lone_surrogates(R"({"k":"\\\ud800"})"), R"({"k":"\\\uFFFD"})");
}

// The sending editor is optional and always one of the vocabulary's texts.
TEST(ChangeMessage, EditorKeyNamesAKnownEditor) {
    EXPECT_EQ(parse_event(message().dump()).editor, "VSCODE");
    for (auto const& [sent, recorded] : std::vector<std::pair<std::string, std::string>>{
             {"VIM", "VIM"}, {"VSCODE", "VSCODE"}, {"vim", "OTHER"}, {"emacs'); --", "OTHER"}}) {
        json line = message();
        line["editor"] = sent;
        EXPECT_EQ(parse_event(line.dump()).editor, recorded) << sent;
    }
    json line = message();
    line["editor"] = nullptr;  // null counts as absent
    EXPECT_EQ(parse_event(line.dump()).editor, "VSCODE");
    line["editor"] = 1;
    EXPECT_THROW(parse_event(line.dump()), json::type_error);
}

// Gathered as it is parsed, a message gives the event, or the error, that the whole document of
// it gives: over messages with keys missing, repeated, null, of every type, nested, in any order,
// and texts that are not an object or not JSON.
TEST(ChangeMessage, ReadingAsItIsParsedAgreesWithTheWholeDocument) {
    std::vector<std::string> const keys = {"file",
                                           "type",
                                           "inserted",
                                           "deletedCount",
                                           "offset",
                                           "causedByUndoRedo",
                                           "causedByCopyPaste",
                                           "isSaved",
                                           "length",
                                           "sha256",
                                           "encoding",
                                           "eol",
                                           "bom",
                                           "textIncluded",
                                           "oldFile",
                                           "firstSave",
                                           "editor",
                                           "other",
                                           "more"};
    std::vector<std::string> const values = {R"("/p")",
                                             R"("change")",
                                             R"("a\u00e9\ud800b")",
                                             "3",
                                             "-1",
                                             "2.5",
                                             "1e20",
                                             "true",
                                             "false",
                                             "null",
                                             R"({"file": "/q", "x": [1, {"y": 2}]})",
                                             "[1, [2]]",
                                             R"("VIM")",
                                             R"("")",
                                             "18446744073709551615",
                                             R"("q\"\\\/\b\f\n\r\tz")",
                                             "-0",
                                             "0",
                                             "01",
                                             "123456789012345678",
                                             "1234567890123456789",
                                             "-123456789012345678",
                                             "tru",
                                             "nul",
                                             "truex",
                                             "1.",
                                             "-",
                                             "2e3",
                                             R"("\x")",
                                             "\"\x7f\"",
                                             "\"\xc3\xa9\"",
                                             "\"\xc3\"",
                                             "\"a\tb\"",
                                             R"("\u0041")"};
    // Every key holds a value of its type most of the time, so that events come out too.
    std::map<std::string, std::string> const usual = {{"file", R"("/p")"},
                                                      {"type", R"("change")"},
                                                      {"inserted", R"("ab")"},
                                                      {"deletedCount", "1"},
                                                      {"offset", "4"},
                                                      {"causedByUndoRedo", "false"},
                                                      {"causedByCopyPaste", "true"},
                                                      {"isSaved", "false"},
                                                      {"length", "2"},
                                                      {"sha256", R"("ab")"},
                                                      {"encoding", R"("utf8")"},
                                                      {"eol", R"("\n")"},
                                                      {"bom", "false"},
                                                      {"textIncluded", "true"},
                                                      {"oldFile", R"("/o")"},
                                                      {"firstSave", "false"},
                                                      {"editor", R"("VIM")"},
                                                      {"other", R"({"x": [1]})"},
                                                      {"more", "7"}};
    std::mt19937 random(11);
    auto const pick = [&](std::size_t size) {
        return std::uniform_int_distribution<std::size_t>(0, size - 1)(random);
    };
    auto const describe = [](VSCodeEvent const& event) {
        return fmt::format("{}|{}|{}|{}|{}|{}{}{}|{}|{}|{}|{}|{}|{}|{}|{}|{}", event.filepath,
                           event.change_type, event.inserted, event.deleted, event.offset,
                           event.is_undo_redo, event.is_copy_paste, event.is_saved,
                           event.text_length ? std::to_string(*event.text_length) : "-",
                           event.text_sha256, event.encoding, event.eol, event.bom,
                           event.text_included, event.old_filepath, event.first_save, event.editor);
    };
    auto const outcome = [&](auto read, std::string const& text) {
        try {
            return describe(read(text));
        } catch (std::exception const& error) {
            return std::string("error: ") + error.what();
        }
    };
    std::size_t events = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::string> members;
        for (std::string const& key : keys) {
            std::size_t const times = pick(12) == 0 ? 2 : (pick(16) == 0 ? 0 : 1);
            for (std::size_t n = 0; n < times; ++n) {
                bool const plain = pick(12) != 0;
                members.push_back("\"" + key +
                                  "\": " + (plain ? usual.at(key) : values[pick(values.size())]));
            }
        }
        std::shuffle(members.begin(), members.end(), random);
        std::vector<std::string> const separators = {", ", ",", " ,\n\t", "\r\n,"};
        std::string const& separator = separators[pick(separators.size())];
        std::string text = pick(2) == 0 ? "{" : " \t{\n";
        for (std::size_t i = 0; i < members.size(); ++i) {
            text += (i == 0 ? "" : separator) + members[i];
        }
        text += pick(2) == 0 ? "}" : " }\r";
        switch (pick(16)) {
            case 0:
                text = "[" + text + "]";
                break;
            case 1:
                text += " x";
                break;
            case 2:
                text = text.substr(0, text.size() / 2);
                break;
            case 3:
                text = values[pick(values.size())];
                break;
            case 4:
                text = "{}";
                break;
            case 5:
                text.insert(text.rfind('}'), ",");
                break;
            case 6:
                text.insert(text.find(':'), " ");
                break;
            default:
                break;
        }
        std::string const gathered = outcome(parse_message, text);
        EXPECT_EQ(gathered, outcome(parse_message_as_document, text)) << text;
        events += gathered.starts_with("error: ") ? 0 : 1;
    }
    EXPECT_GT(events, 100u);  // the comparison covered events, not only errors
}
