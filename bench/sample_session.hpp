#pragma once

#include "events/records.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>

// Sends standard output, where the monitor logs, to /dev/null while it lives, so that the figures
// are not the terminal's.
class QuietStdout {
public:
    QuietStdout();
    QuietStdout(QuietStdout const&) = delete;
    QuietStdout& operator=(QuietStdout const&) = delete;
    ~QuietStdout();

private:
    int saved_ = -1;
};

// A new directory "<prefix>-XXXXXX" below `parent`, removed with all it holds when this goes.
class ScratchDir {
public:
    ScratchDir(std::filesystem::path const& parent, std::string const& prefix);
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;
    ~ScratchDir();

    std::filesystem::path const& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The file the sample rows are about, and its id.
inline constexpr char const* SAMPLE_FILE = "/home/dev/proj/src/parser.cpp";
inline FileId const SAMPLE_FID{1234567, 2049};

// A tracked file's modification with a diff, stamped now.
FileEvent sample_file_event();
// An editor change to SAMPLE_FILE replacing 3 bytes with a line of code, stamped now.
VSCodeEvent sample_vscode_event();

// One change message as the editor extension writes it (no line feed): `deleted` bytes removed at
// `offset` of `file`, then `inserted` put there; no undo, paste or save.
std::string change_message(std::string_view file, std::uint64_t offset, std::uint64_t deleted,
                           std::string_view inserted);

// Real C++ source of at least `size` bytes (whole files of the standard library's headers, in a
// fixed order), or all of them when they hold less.
std::string library_source(std::size_t size);

// Source text of at least `size` bytes, in lines "    int value_<offset> = <call>;".
std::string sample_source(std::size_t size, std::string_view call);

// How a simulated developer edits, by a roll from 0 to 999 for every change: below 5 the cursor
// first jumps anywhere; below 150 a backspace (while the cursor is not at the start); below
// `paste_below` a paste of `paste_size` bytes of the document; below `save_below` a save; else
// one letter typed.
struct EditMix {
    unsigned undo_below = 0;  // backspaces below this are undos
    unsigned paste_below = 0;
    unsigned internal_copy_below = 0;  // pastes below this are internal copies
    unsigned save_below = 0;
    std::size_t paste_size = 0;
    bool mark_pastes = false;  // whether pastes carry the editor's paste flag
};

// Makes `event` the next change of a developer editing `doc` at `cursor`, and applies it to both:
// sets the inserted and deleted bytes, the offset and the flags; the rest is the caller's.
void next_edit(std::mt19937& random, EditMix const& mix, std::string& doc, std::size_t& cursor,
               VSCodeEvent& event);
