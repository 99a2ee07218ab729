#pragma once

#include "events/records.hpp"

#include <stdexcept>
#include <string>

// A change message whose number cannot be read as an unsigned 64-bit value (a negative or too
// large floating-point value, whose conversion would be meaningless).
class BadChangeMessage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Turns one line of the editor socket, a JSON object with the keys "file", "type", "inserted",
// "deletedCount", "offset", "causedByUndoRedo", "causedByCopyPaste" and "isSaved", into an editor
// event stamped now, with the file id of "file" ((0, 0) when the path cannot be queried).
// The optional key "editor" names the sending editor: "VSCODE" (also when absent, as the VS Code
// extension sends none), "VIM", or any other text, recorded as "OTHER".
// Throws the JSON library's exception for text that is not JSON, a line that is not an object, a
// missing key or a value of the wrong type, and BadChangeMessage for an unusable number.
VSCodeEvent parse_event(std::string const& message);
