#pragma once

#include "events/records.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

// A change message whose number cannot be read as an unsigned 64-bit value (a negative or too
// large floating-point value, whose conversion would be meaningless).
class BadChangeMessage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The kinds of message ("type") the monitor acts on beyond edits; any other kind is an edit.
namespace MessageKind {
inline constexpr char const* SAVE = "save";
inline constexpr char const* EOL = "eol";        // the editor rewrote every line end
inline constexpr char const* OPEN = "open";      // the document as the editor first holds it
inline constexpr char const* RESYNC = "resync";  // the editor's text, to repair the mirror
inline constexpr char const* RENAME = "rename";  // "oldFile" is now "file"
}  // namespace MessageKind

// Turns one line of the editor socket, a JSON object with the keys "file", "type", "inserted",
// "deletedCount", "offset", "causedByUndoRedo", "causedByCopyPaste" and "isSaved", into an editor
// event stamped now, with the file id of "file" ((0, 0) when the path cannot be queried).
// The optional keys "length", "sha256", "encoding", "eol", "bom", "textIncluded" and "oldFile",
// which describe the editor's document, fill their fields when present (null counts as absent);
// a present key of the wrong type rejects the message like a required one.
// The optional key "editor" names the sending editor: "VSCODE" (also when absent or null, as the
// VS Code extension sends none), "VIM", or any other text, recorded as "OTHER".
// Throws the JSON library's exception for text that is not JSON, a line that is not an object, a
// missing key or a value of the wrong type, and BadChangeMessage for an unusable number.
// A lone surrogate escape ("\ud800" without its pair), which the editor's JSON encoding writes for
// a document holding one, is read as U+FFFD, three bytes in UTF-8, as the extension counts it.
VSCodeEvent parse_event(std::string const& message);
// parse_event without the file id, which is left (0, 0): for a caller that finds it itself.
// The keys it reads are gathered as the text is parsed; a message of another shape is read
// through parse_message_as_document.
VSCodeEvent parse_message(std::string const& message);
// parse_message through a whole document of the message: the same event, or the same error.
VSCodeEvent parse_message_as_document(std::string const& message);

// `message` with every escape of a lone surrogate replaced by "\uFFFD"; the rest as it is.
std::string replace_lone_surrogates(std::string_view message);
