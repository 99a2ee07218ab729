#include "editor/change_message.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

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
