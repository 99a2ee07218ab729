#pragma once

#include "app/convert.hpp"
#include "app/vocabulary.hpp"
#include "events/file_id.hpp"

#include <cstdint>
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
    bool is_saved = false;
    std::string incident_type;
    std::string editor = TextEditor::VSCODE;  // which editor sent it (TextEditor::)
};

using Event = std::variant<KeyEvent, FileEvent, VSCodeEvent>;

// The record held by an event, seen through its base.
BaseEvent const& base_of(Event const& event);
