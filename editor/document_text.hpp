#pragma once

#include <optional>
#include <string>
#include <string_view>

// How the editor turned a file's bytes into the text it edits: its encoding id ("utf8",
// "utf8bom", "iso88591", "windows1252", "utf16le", "utf16be", ...), whether the file starts with
// a byte order mark, and the line end it holds every line with ("\n", "\r\n", or "" when not
// told). Offsets in the editor's messages count bytes of that text in UTF-8.
struct DocumentFormat {
    std::string encoding;
    bool bom = false;
    std::string eol;
};

// The text the editor holds for a file whose bytes are `raw`: a leading byte order mark of the
// encoding dropped, the rest decoded to UTF-8 (bytes that do not decode become U+FFFD, as the
// editor shows them), and every line end ("\r\n", "\r", "\n") written as the document's line
// end when it is known. No value when the encoding is one this system cannot decode.
std::optional<std::string> decode_as_editor(std::string_view raw, DocumentFormat const& format);

// Valid UTF-8 with every ill-formed sequence replaced by U+FFFD, one per maximal invalid part.
std::string utf8_with_replacement(std::string_view bytes);

// Lowercase hex SHA-256 of `bytes`.
std::string sha256_hex(std::string_view bytes);
