#pragma once

#include <string>

// The category texts of the system. They travel inside event records, select handlers on the
// event bus and are stored verbatim in the database, so each text is fixed and defined once.

namespace OS {
inline const std::string LINUX{"LINUX"};
inline const std::string OSX{"OSX"};
inline const std::string WINDOWS{"WINDOWS"};
inline const std::string OTHER{"OTHER"};
}  // namespace OS

namespace TextEditor {
inline const std::string VSCODE{"VSCODE"};
inline const std::string VIM{"VIM"};
inline const std::string OTHER{"OTHER"};
}  // namespace TextEditor

namespace Incident::Types {
inline const std::string NONE{"NONE"};
inline const std::string COPY_PASTE{"COPY_PASTE"};
inline const std::string FAST_INSERTION{"FAST_INSERTION"};
inline const std::string AI_ASSISTANCE{"AI_ASSISTANCE"};
inline const std::string OTHER{"OTHER"};
}  // namespace Incident::Types

// The scopes below are reached through the event records, e.g. BaseEvent::Types::FILE_EVENT.

struct EventTypeTexts {
    // The blank between the words is deliberate: the bus dispatches on these exact texts.
    static inline const std::string KEY_EVENT{"KEY EVENT"};
    static inline const std::string FILE_EVENT{"FILE EVENT"};
    static inline const std::string VSCODE_EVENT{"VSCODE EVENT"};
};

struct InputDeviceTexts {
    static inline const std::string KEYBOARD{"KEYBOARD"};
    static inline const std::string MOUSE{"MOUSE"};
    static inline const std::string OTHER{"OTHER"};
};

struct KeyActionTexts {
    static inline const std::string PRESSED{"PRESSED"};
    static inline const std::string RELEASED{"RELEASED"};
    static inline const std::string DRAGGED{"DRAGGED"};
    static inline const std::string MOVED{"MOVED"};
    static inline const std::string CLICKED{"CLICKED"};
    static inline const std::string SCROLLED{"SCROLLED"};
    static inline const std::string OTHER{"OTHER"};
};

struct FileHandlerTexts {
    static inline const std::string PROJ_TRACKEDPATH{"PROJ_TRACKEDPATH"};
    static inline const std::string VSCODE_CONFIGPATH{"VSCODE_CONFIGPATH"};
    static inline const std::string VSCODE_BACKUPPATH{"VSCODE_BACKUPPATH"};
    static inline const std::string WARDLET_CONFIGPATH{"WARDLET_CONFIGPATH"};
    static inline const std::string BACKUPFILE{"BACKUPFILE"};
    static inline const std::string TRACKEDFILE{"TRACKEDFILE"};
};
