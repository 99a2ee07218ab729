#include "editor/change_message.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

namespace {

using nlohmann::json;

constexpr std::uint64_t ALL_ONES = std::numeric_limits<std::uint64_t>::max();

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

std::uint64_t offset_of(json const& value) {
    json line = message();
    line["offset"] = value;
    return parse_event(line.dump()).offset;
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

std::string rejection_of(json const& line) {
    return rejection(line.dump());
}

}  // namespace

TEST(ChangeMessage, EveryKeyReachesItsField) {
    TempDir dir;
    auto const file = write_file(dir / "doc.txt", "content");
    json line = message(file.native());
    line["extra"] = "ignored";
    Timestamp const before = now_timestamp();
    VSCodeEvent const event = parse_event(line.dump() + "\r");
    Timestamp const after = now_timestamp();

    EXPECT_EQ(event.type, BaseEvent::Types::VSCODE_EVENT);
    EXPECT_EQ(event.filepath, file.native());
    EXPECT_EQ(event.fid, file_id_of(file));
    EXPECT_NE(event.fid, (FileId{0, 0}));
    EXPECT_EQ(event.change_type, "change");
    EXPECT_EQ(event.inserted, "abc");
    EXPECT_EQ(event.deleted, 2u);
    EXPECT_EQ(event.offset, 7u);
    EXPECT_TRUE(event.is_undo_redo);
    EXPECT_FALSE(event.is_copy_paste);
    EXPECT_FALSE(event.is_saved);
    EXPECT_EQ(event.incident_type, Incident::Types::NONE);
    EXPECT_FALSE(event.is_tracked);
    EXPECT_FALSE(event.internal_copy);
    EXPECT_TRUE(event.copy_buf.empty());
    EXPECT_LE(before, event.timestamp);
    EXPECT_LE(event.timestamp, after);
}

TEST(ChangeMessage, PathThatCannotBeQueriedHasFileIdZero) {
    EXPECT_EQ(parse_event(message("/no/such/file").dump()).fid, (FileId{0, 0}));
}

TEST(ChangeMessage, NumbersFollowTheLibrarysUnsignedConversion) {
    EXPECT_EQ(offset_of(-1), ALL_ONES);
    EXPECT_EQ(offset_of(-2), ALL_ONES - 1);
    EXPECT_EQ(offset_of(ALL_ONES), ALL_ONES);
    EXPECT_EQ(offset_of(3.9), 3u);
    EXPECT_EQ(offset_of(-0.5), 0u);
    EXPECT_EQ(offset_of(1.8e19), 18000000000000000000ull);
    EXPECT_EQ(offset_of(true), 1u);
    EXPECT_EQ(offset_of(false), 0u);
}

TEST(ChangeMessage, NumbersWithoutAnUnsignedValueAreRefused) {
    for (double const number : {-1.0, -7.5, 1e20, 18446744073709551616.0}) {
        json line = message();
        line["deletedCount"] = number;
        EXPECT_THROW(parse_event(line.dump()), BadChangeMessage) << number;
    }
    // Too large for any integer type, the parser reads it as a floating-point value.
    EXPECT_THROW(parse_event(R"({"file":"f","type":"t","inserted":"","deletedCount":0,)"
                             R"("offset":18446744073709551616,"causedByUndoRedo":false,)"
                             R"("causedByCopyPaste":false,"isSaved":false})"),
                 BadChangeMessage);
}

TEST(ChangeMessage, MalformedLinesRaiseTheParsersErrors) {
    EXPECT_NE(rejection("not json").find("parse_error"), std::string::npos);
    EXPECT_NE(rejection(R"({"file": "a", // comment
                           })")
                  .find("parse_error"),
              std::string::npos);
    EXPECT_NE(rejection("[1, 2]").find("cannot use operator[] with a string argument with array"),
              std::string::npos);
    EXPECT_NE(rejection("\"text\"").find("with string"), std::string::npos);
    EXPECT_NE(rejection("null").find("type must be string, but is null"), std::string::npos);

    for (auto const& [key, expected] : std::vector<std::pair<std::string, std::string>>{
             {"file", "type must be string, but is null"},
             {"inserted", "type must be string, but is null"},
             {"offset", "type must be number, but is null"},
             {"isSaved", "type must be boolean, but is null"}}) {
        json line = message();
        line.erase(key);
        EXPECT_NE(rejection_of(line).find(expected), std::string::npos) << key;
    }

    json line = message();
    line["causedByCopyPaste"] = 1;
    EXPECT_NE(rejection_of(line).find("type must be boolean, but is number"), std::string::npos);
    line = message();
    line["deletedCount"] = "2";
    EXPECT_NE(rejection_of(line).find("type must be number, but is string"), std::string::npos);
    line = message();
    line["type"] = json::array();
    EXPECT_NE(rejection_of(line).find("type must be string, but is array"), std::string::npos);
}
