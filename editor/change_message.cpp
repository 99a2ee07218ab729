#include "editor/change_message.hpp"

#include "app/convert.hpp"
#include "app/vocabulary.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string_view>

namespace {

using nlohmann::json;

// 2^64, the first floating-point value that no longer fits in 64 unsigned bits.
constexpr double UNSIGNED_64_LIMIT = 18446744073709551616.0;

// The library's ordinary conversion to an unsigned integer: integers and unsigned integers as
// they are (a negative integer wraps, so -1 becomes the all-ones "no position" value), a
// floating-point value truncated, a boolean as 0 or 1. A floating-point value whose truncation does
// not fit is refused rather than converted into an arbitrary number.
std::uint64_t read_count(json const& value, char const* key) {
    if (value.is_number_float()) {
        double const number = value.get<double>();
        if (!(number > -1.0 && number < UNSIGNED_64_LIMIT)) {
            throw BadChangeMessage(
                fmt::format("\"{}\" is {}, not an unsigned 64-bit number", key, value.dump()));
        }
    }
    // unsigned long long rather than std::uint64_t: the library converts booleans only for an
    // integer type other than its own unsigned type.
    return static_cast<std::uint64_t>(value.get<unsigned long long>());
}

// An optional key: absent or null leaves `field` as it is; any other value must have the type
// of `field`, like the required keys.
template <typename T>
void read_optional(json const& object, char const* key, T& field) {
    auto const found = object.find(key);
    if (found != object.end() && !found->is_null()) {
        field = found->get<T>();
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The UTF-16 unit of the escape "\uXXXX" at `at`, or -1 when there is none there.
long escaped_unit(std::string_view text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') {
        return -1;
    }
    long unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        int const digit = hex_value(text[i]);
        if (digit < 0) {
            return -1;
        }
        unit = unit * 16 + digit;
    }
    return unit;
}

// A text of the vocabulary, never one chosen by the sender.
std::string const& editor_text(std::string const& name) {
    for (std::string const* known : {&TextEditor::VSCODE, &TextEditor::VIM}) {
        if (name == *known) {
            return *known;
        }
    }
    return TextEditor::OTHER;
}

}  // namespace

std::string replace_lone_surrogates(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    for (std::size_t at = 0; at < message.size();) {
        if (message[at] != '\\' || at + 1 >= message.size()) {
            out += message[at++];
            continue;
        }
        long const unit = escaped_unit(message, at);
        if (unit < 0) {
            out.append(message, at, 2);  // any other escape, "\\" included, as it is
            at += 2;
            continue;
        }
        bool const high = unit >= 0xD800 && unit <= 0xDBFF;
        bool const low = unit >= 0xDC00 && unit <= 0xDFFF;
        long const next = high ? escaped_unit(message, at + 6) : -1;
        if (high && next >= 0xDC00 && next <= 0xDFFF) {
            out.append(message, at, 12);
            at += 12;
        } else if (high || low) {
            out += "\\uFFFD";
            at += 6;
        } else {
            out.append(message, at, 6);
            at += 6;
        }
    }
    return out;
}

VSCodeEvent parse_event(std::string const& message) {
    VSCodeEvent event = parse_message(message);
    event.fid = file_id_of(event.filepath);
    return event;
}

VSCodeEvent parse_message(std::string const& message) {
    // Keys are read through the mutable object: a missing key then reads as null, which the
    // conversions reject with a type error, and a line that is not an object raises one.
    json object = message.find("\\u") == std::string::npos
                      ? json::parse(message, nullptr, true, false)
                      : json::parse(replace_lone_surrogates(message), nullptr, true, false);

    VSCodeEvent event;
    event.filepath = object["file"].get<std::string>();
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.timestamp = now_timestamp();
    event.change_type = object["type"].get<std::string>();
    event.inserted = object["inserted"].get<std::string>();
    event.deleted = read_count(object["deletedCount"], "deletedCount");
    event.offset = read_count(object["offset"], "offset");
    event.is_undo_redo = object["causedByUndoRedo"].get<bool>();
    event.is_copy_paste = object["causedByCopyPaste"].get<bool>();
    event.is_saved = object["isSaved"].get<bool>();
    event.incident_type = Incident::Types::NONE;

    if (auto const length = object.find("length"); length != object.end() && !length->is_null()) {
        event.text_length = read_count(*length, "length");
    }
    read_optional(object, "sha256", event.text_sha256);
    read_optional(object, "encoding", event.encoding);
    read_optional(object, "eol", event.eol);
    read_optional(object, "bom", event.bom);
    read_optional(object, "textIncluded", event.text_included);
    read_optional(object, "oldFile", event.old_filepath);
    read_optional(object, "firstSave", event.first_save);
    if (auto const editor = object.find("editor"); editor != object.end() && !editor->is_null()) {
        event.editor = editor_text(editor->get<std::string>());
    }
    return event;
}
