#pragma once

#include "app/convert.hpp"
#include "app/vocabulary.hpp"
#include "events/file_id.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

// Event records are plain values: copies are independent, and nothing holds one through a
// pointer to its base. The base is polymorphic only for its text rendering.
struct BaseEvent {
    using Types = EventTypeTexts;

    virtual operator std::string() const;

    std::string type;
    Timestamp timestamp{};
    std::string filepath;
    FileId fid{0, 0};
    std::string hash;
};

struct KeyEvent : BaseEvent {
    using InputDevice = InputDeviceTexts;
    using Actions = KeyActionTexts;

    std::uint16_t keycode = 0;
    std::string device;
    std::string action;
};

// Watch id of the directory watcher that reported a change; negative values are errors.
using WatchId = std::int64_t;

struct FileEvent : BaseEvent {
    using Handlers = FileHandlerTexts;

    operator std::string() const override;

    WatchId wid = 0;
    FileAction action = 0;
    std::string directory;
    std::string old_filepath;
    std::string diff;
    std::string handler_type;
    std::string incident_type;
};

struct VSCodeEvent : BaseEvent {
    std::string change_type;
    std::string inserted;
    std::uint64_t deleted = 0;
    std::uint64_t offset = 0;
    bool is_tracked = false;
    bool is_undo_redo = false;
    bool is_copy_paste = false;
    std::string copy_buf;
    bool internal_copy = false;
    // For an internal copy: the tracked file where the text was found, and the byte offset there
    // when the file holds it now.
    std::optional<std::string> copy_source;
    std::optional<std::uint64_t> copy_source_offset;
    // Place of this change in the order in which changes reached the mirror; none when the
    // change left every mirror as it was.
    std::optional<std::uint64_t> mirror_seq;
    bool is_saved = false;
    std::string incident_type;
    std::string editor = TextEditor::VSCODE;  // which editor sent it (TextEditor::)

    // What the editor says about its document, besides edits: optional keys of the message.
    std::string old_filepath;                  // the path a renamed document had
    std::optional<std::uint64_t> text_length;  // bytes of the editor's text (UTF-8)
    std::string text_sha256;                   // lowercase hex SHA-256 of those bytes
    std::string encoding;                      // the editor's encoding id, "" when not told
    std::string eol;                           // the document's line end, "" when not told
    bool bom = false;                          // the file on disk starts with a byte order mark
    bool text_included = false;                // "inserted" holds the editor's whole text
    bool first_save = false;  // the whole text of a document first written to its file
    // Set by the monitor when the message set the mirror to a text of its own: the snapshot
    // stored right after the message's row, and why.
    std::optional<std::string> mirror_reset;
    std::string mirror_reset_reason;
    // The place in the mirror's order of the change that set it to `mirror_reset`.
    std::optional<std::uint64_t> mirror_reset_seq;
    // Set by the monitor for a save: whether the disk held the text the editor saved, and the
    // SHA-256 of the disk's bytes it compared.
    bool save_matches_disk = false;
    std::string saved_disk_sha256;
};

using Event = std::variant<KeyEvent, FileEvent, VSCodeEvent>;

// The record held by an event, seen through its base.
BaseEvent const& base_of(Event const& event);
