#include "editor/change_message.hpp"

#include "app/convert.hpp"
#include "app/vocabulary.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
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
void read_optional(json const& value, T& field) {
    if (!value.is_null()) {
        field = value.get<T>();
    }
}

// The keys of a message that the monitor reads.
constexpr std::array<std::string_view, 17> kReadKeys{"file",
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
                                                     "editor"};

// The values of the read keys, gathered while a message is parsed rather than from a whole
// document built first: every message is parsed, and building its document cost a keystroke
// more than anything else the monitor does with it. Only an object whose read keys hold plain
// values is gathered; for anything else (another value, an object or an array under a read key,
// a fault in the text) the gathering stops, and the message is read as a document, whose
// conversions report the fault. A repeated key keeps its last value, as in the document.
class ReadKeyValues final : public nlohmann::json_sax<json> {
public:
    // The value of `key` (one of kReadKeys); null when it is absent.
    json const& operator[](std::string_view key) const {
        return values_[static_cast<std::size_t>(slot_of(key))];
    }

    bool null() override { return take(json(nullptr)); }
    bool boolean(bool value) override { return take(json(value)); }
    bool number_integer(number_integer_t value) override { return take(json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return take(json(value)); }
    bool number_float(number_float_t value, string_t const&) override { return take(json(value)); }
    bool string(string_t& value) override { return take(json(std::move(value))); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return enter(); }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return depth_ != 0 && enter(); }
    bool end_array() override { return leave(); }
    bool key(string_t& name) override {
        if (depth_ == 1) {
            slot_ = slot_of(name);
        }
        return true;
    }
    bool parse_error(std::size_t, std::string const&, nlohmann::detail::exception const&) override {
        return false;
    }

private:
    static int slot_of(std::string_view key) {
        for (std::size_t slot = 0; slot < kReadKeys.size(); ++slot) {
            if (kReadKeys[slot] == key) {
                return static_cast<int>(slot);
            }
        }
        return -1;
    }
    // A value of the message's object is kept under its read key; one deeper in is skipped.
    bool take(json value) {
        if (depth_ == 1 && slot_ >= 0) {
            values_[static_cast<std::size_t>(slot_)] = std::move(value);
        }
        return depth_ != 0;
    }
    bool enter() {
        if (depth_ == 1 && slot_ >= 0) {
            return false;
        }
        ++depth_;
        return true;
    }
    bool leave() {
        --depth_;
        return true;
    }

    std::array<json, kReadKeys.size()> values_;
    int depth_ = 0;
    int slot_ = -1;
};

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

namespace {

// Reads the plain form of a message, the one editors send for every keystroke, by hand: one object
// whose values are strings of printable ASCII with the short escapes, integers of up to 18 digits,
// true, false or null. The JSON library's lexer, which reads any JSON a character at a time, cost
// more than anything else done with a message. The values go to `values` as the library's parser
// would hand them over; for anything else (another byte, escape, number or value, a nested value,
// a fault) read() is false and the library reads the message.
class PlainMessageReader {
public:
    PlainMessageReader(std::string_view text, ReadKeyValues& values)
        : at_(text.data()), end_(text.data() + text.size()), values_(values) {}

    bool read() {
        skip_space();
        if (!take('{') || !values_.start_object(0)) {
            return false;
        }
        skip_space();
        if (!take('}')) {
            do {
                skip_space();
                std::string name;
                if (!read_string(name) || !values_.key(name)) {
                    return false;
                }
                skip_space();
                if (!take(':')) {
                    return false;
                }
                skip_space();
                if (!read_value()) {
                    return false;
                }
                skip_space();
            } while (take(','));
            if (!take('}')) {
                return false;
            }
        }
        values_.end_object();
        skip_space();
        return at_ == end_;
    }

private:
    bool take(char wanted) {
        if (at_ != end_ && *at_ == wanted) {
            ++at_;
            return true;
        }
        return false;
    }
    void skip_space() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) {
            ++at_;
        }
    }
    // Ends where a value may end: the number or word before it is whole.
    bool at_value_end() const {
        return at_ == end_ || *at_ == ',' || *at_ == '}' || *at_ == ' ' || *at_ == '\t' ||
               *at_ == '\n' || *at_ == '\r';
    }
    bool read_value() {
        if (at_ == end_) {
            return false;
        }
        switch (*at_) {
            case '"': {
                std::string text;
                return read_string(text) && values_.string(text);
            }
            case 't':
                return read_word("true") && values_.boolean(true);
            case 'f':
                return read_word("false") && values_.boolean(false);
            case 'n':
                return read_word("null") && values_.null();
            default:
                return read_integer();
        }
    }
    bool read_word(std::string_view word) {
        if (static_cast<std::size_t>(end_ - at_) < word.size() ||
            std::string_view(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return at_value_end();
    }
    // "-"? then "0" or a digit 1-9 and more digits: 18 at most, so that it always fits.
    bool read_integer() {
        bool const negative = take('-');
        char const* const digits = at_;
        std::uint64_t value = 0;
        while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(*at_ - '0');
            ++at_;
        }
        std::size_t const count = static_cast<std::size_t>(at_ - digits);
        if (count == 0 || count > 18 || (count > 1 && *digits == '0') || !at_value_end()) {
            return false;
        }
        if (negative) {
            return values_.number_integer(-static_cast<std::int64_t>(value));
        }
        return values_.number_unsigned(value);
    }
    // Printable ASCII that stands for itself in a string: not the quote, not the backslash.
    static bool is_plain(unsigned char byte) {
        return byte >= 0x20 && byte <= 0x7F && byte != '"' && byte != '\\';
    }
    bool read_string(std::string& out) {
        if (!take('"')) {
            return false;
        }
        while (at_ != end_) {
            // A run of plain characters is taken whole.
            char const* const run = at_;
            while (at_ != end_ && is_plain(static_cast<unsigned char>(*at_))) {
                ++at_;
            }
            out.append(run, static_cast<std::size_t>(at_ - run));
            if (at_ == end_) {
                return false;
            }
            auto const byte = static_cast<unsigned char>(*at_++);
            if (byte == '"') {
                return true;
            }
            if (byte != '\\') {
                return false;  // a control character, or a byte beyond ASCII
            }
            if (at_ == end_) {
                return false;
            }
            switch (*at_++) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                default:
                    return false;  // "\u" among them
            }
        }
        return false;
    }

    char const* at_;
    char const* end_;
    ReadKeyValues& values_;
};

// The event of a message whose key `name` has the value at(name), null when absent.
template <typename At>
VSCodeEvent event_from(At&& at) {
    VSCodeEvent event;
    event.filepath = at("file").template get<std::string>();
    event.type = BaseEvent::Types::VSCODE_EVENT;
    event.timestamp = now_timestamp();
    event.change_type = at("type").template get<std::string>();
    event.inserted = at("inserted").template get<std::string>();
    event.deleted = read_count(at("deletedCount"), "deletedCount");
    event.offset = read_count(at("offset"), "offset");
    event.is_undo_redo = at("causedByUndoRedo").template get<bool>();
    event.is_copy_paste = at("causedByCopyPaste").template get<bool>();
    event.is_saved = at("isSaved").template get<bool>();
    event.incident_type = Incident::Types::NONE;

    if (json const& length = at("length"); !length.is_null()) {
        event.text_length = read_count(length, "length");
    }
    read_optional(at("sha256"), event.text_sha256);
    read_optional(at("encoding"), event.encoding);
    read_optional(at("eol"), event.eol);
    read_optional(at("bom"), event.bom);
    read_optional(at("textIncluded"), event.text_included);
    read_optional(at("oldFile"), event.old_filepath);
    read_optional(at("firstSave"), event.first_save);
    if (json const& editor = at("editor"); !editor.is_null()) {
        event.editor = editor_text(editor.get<std::string>());
    }
    return event;
}

}  // namespace

VSCodeEvent parse_message(std::string const& message) {
    if (ReadKeyValues values; PlainMessageReader(message, values).read()) {
        return event_from([&](char const* name) -> json const& { return values[name]; });
    }
    std::string const repaired =
        message.find("\\u") == std::string::npos ? std::string() : replace_lone_surrogates(message);
    std::string const& text = repaired.empty() ? message : repaired;
    if (ReadKeyValues values;
        json::sax_parse(text, &values, json::input_format_t::json, true, false)) {
        return event_from([&](char const* name) -> json const& { return values[name]; });
    }
    return parse_message_as_document(message);
}

VSCodeEvent parse_message_as_document(std::string const& message) {
    // Keys are read through the mutable object: a missing key then reads as null, which the
    // conversions reject with a type error, and a line that is not an object raises one.
    json object = message.find("\\u") == std::string::npos
                      ? json::parse(message, nullptr, true, false)
                      : json::parse(replace_lone_surrogates(message), nullptr, true, false);
    return event_from([&](char const* name) -> json const& { return object[name]; });
}
