#include "editor/change_message.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

namespace {

using nlohmann::json;

json message(std::string const& file = "/no/such/file") {
    return json{{"file", file},
                {"type", "change"},
                {"inserted", "abc"},
                {"deletedCount", 2},
                {"offset", 7},
                {"causedByUndoRedo", true},
                {"causedByCopyPaste", false},
                {"isSaved", false}};
}

// The text of the exception that parsing `line` raises.
std::string rejection(std::string const& line) {
    try {
        parse_event(line);
    } catch (std::exception const& error) {
        return error.what();
    }
    return "accepted";
}

}  // namespace

TEST(ChangeMessage, EveryKeyReachesItsField) {
    TempDir dir;
    auto const file = write_file(dir / "doc.txt", "content");
    json line = message(file.native());
    line["extra"] = "ignored";
    Timestamp const before = now_timestamp();
    VSCodeEvent const event = parse_event(line.dump() + "\r");

    EXPECT_EQ(event.type, BaseEvent::Types::VSCODE_EVENT);
    EXPECT_EQ(event.filepath, file.native());
    EXPECT_EQ(event.fid, file_id_of(file));
    EXPECT_NE(event.fid, (FileId{0, 0}));
    EXPECT_EQ(event.change_type, "change");
    EXPECT_EQ(event.inserted, "abc");
    EXPECT_EQ(event.deleted, 2u);
    EXPECT_EQ(event.offset, 7u);
    EXPECT_TRUE(event.is_undo_redo);
    EXPECT_FALSE(event.is_copy_paste || event.is_saved || event.is_tracked || event.internal_copy);
    EXPECT_EQ(event.incident_type, Incident::Types::NONE);
    EXPECT_LE(before, event.timestamp);
    EXPECT_EQ(parse_event(message().dump()).fid, (FileId{0, 0}));  // no such path
}

TEST(ChangeMessage, NumbersConvertAsTheLibraryDoesUnlessTheResultWouldBeMeaningless) {
    constexpr std::uint64_t all_ones = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::pair<json, std::uint64_t>> const accepted{
        {-1, all_ones}, {-2, all_ones - 1}, {all_ones, all_ones},
        {3.9, 3},       {-0.5, 0},          {1.8e19, 18000000000000000000ull},
        {true, 1}};
    for (auto const& [value, expected] : accepted) {
        json line = message();
        line["offset"] = value;
        EXPECT_EQ(parse_event(line.dump()).offset, expected) << value;
    }
    for (double const number : {-1.0, 1e20, 18446744073709551616.0}) {
        json line = message();
        line["deletedCount"] = number;
        EXPECT_THROW(parse_event(line.dump()), BadChangeMessage) << number;
    }
    // Too large for an integer, the parser reads this literal as floating-point.
    std::string text = message().dump();
    text.replace(text.find("\"offset\":7"), 10, "\"offset\":18446744073709551616");
    EXPECT_THROW(parse_event(text), BadChangeMessage);
}

TEST(ChangeMessage, MalformedLinesRaiseTheParsersErrors) {
    std::vector<std::pair<std::string, std::string>> cases{
        {"not json", "parse_error"},
        {"{\"file\": \"a\" // comment\n}", "parse_error"},
        {"[1, 2]", "cannot use operator[] with a string argument with array"},
        {"\"text\"", "cannot use operator[] with a string argument with string"},
        {"null", "type must be string, but is null"}};
    for (auto const& [key, expected] : std::vector<std::pair<std::string, std::string>>{
             {"inserted", "type must be string, but is null"},
             {"offset", "type must be number, but is null"},
             {"isSaved", "type must be boolean, but is null"}}) {
        json line = message();
        line.erase(key);
        cases.emplace_back(line.dump(), expected);
    }
    json line = message();
    line["causedByCopyPaste"] = 1;
    cases.emplace_back(line.dump(), "type must be boolean, but is number");
    line = message();
    line["deletedCount"] = "2";
    cases.emplace_back(line.dump(), "type must be number, but is string");
    for (auto const& [text, expected] : cases) {
        EXPECT_NE(rejection(text).find(expected), std::string::npos) << text;
    }
}
