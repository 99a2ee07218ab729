#include "editor/document_text.hpp"

#include <gtest/gtest.h>

// The disk's bytes become the text the editor holds: its byte order mark dropped, its encoding
// decoded, undecodable bytes shown as U+FFFD, its line ends made one.
TEST(DocumentText, DecodesTheDiskAsTheEditorDoes) {
    std::string const fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string raw;
        DocumentFormat format;
        std::string text;
    };
    std::vector<Case> const cases{
        {"\xEF\xBB\xBFhi\n", {"utf8bom", true, "\n"}, "hi\n"},
        {"\xEF\xBB\xBFhi", {"utf8", false, ""}, "hi"},
        {"caf\xE9", {"iso88591", false, ""}, "caf\xC3\xA9"},
        {"\x80", {"windows1252", false, ""}, "\xE2\x82\xAC"},  // the euro sign
        {std::string("\xFF\xFEh\0\xE9\0", 6), {"utf16le", true, ""}, "h\xC3\xA9"},
        {std::string("\0h", 2), {"utf16be", false, ""}, "h"},
        {"a\r\nb\nc\rd", {"utf8", false, "\r\n"}, "a\r\nb\r\nc\r\nd"},
        {"a\r\nb\r\n", {"utf8", false, "\n"}, "a\nb\n"},
        {"a\r\nb\n", {"utf8", false, ""}, "a\r\nb\n"},  // no line end told: kept as they are
        // One U+FFFD per maximal ill-formed part, as the editor decodes.
        {"a\xFF" "b", {"utf8", false, ""}, "a" + fffd + "b"},
        {"\xE2\x82", {"utf8", false, ""}, fffd},
        {"\xE2\x82" "A", {"utf8", false, ""}, fffd + "A"},
        {"\xED\xA0\x80", {"utf8", false, ""}, fffd + fffd + fffd},  // a surrogate's bytes
        {"\xF0\x9F\x98\x80", {"utf8", false, ""}, "\xF0\x9F\x98\x80"},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(decode_as_editor(c.raw, c.format), c.text) << c.format.encoding << " " << c.raw;
    }
    EXPECT_FALSE(decode_as_editor("x", {"nosuchencoding", false, ""}));
}

TEST(DocumentText, Sha256InLowercaseHex) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
