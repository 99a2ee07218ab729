#pragma once

#include "editor/filemap.hpp"

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The file map as the editor channel asks it for every change message: the same answers as
// filemap_names() reading the map afresh each time, but the map is parsed again only when the
// file's identity (device, inode), size, modification or status-change time differ from those
// of the last parse; otherwise a message costs one stat and a hash lookup. A file map that is
// missing or unreadable names nothing, as when it is read.
//
// Safe to call from several reader threads at once: the editor's connection readers ask it for
// every message.
class FileMapCache {
public:
    // Lines naming a file outside `project` name nothing (see read_filemap).
    FileMapCache(std::filesystem::path map_path, std::filesystem::path project);

    // Whether the map, as it is now, has an entry whose path equals `file` element by element.
    bool names(std::string_view file);
    // Whether the map as names() last saw it has such an entry, without looking at the file
    // again: for the messages that came with one read, once names() has answered the first.
    bool named(std::string_view file);
    // The map's entries as it is now.
    FileMap current();

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{};
        timespec changed{};
        bool operator==(Stamp const& other) const;
    };
    // Expect mutex_ held.
    void refresh();
    bool has_entry(std::string_view file) const;

    std::filesystem::path map_path_;  // set once, by the constructor
    std::filesystem::path project_;   // likewise
    // State below is protected by mutex_, held for one call, the map's parse included; nothing is
    // logged and no other lock is taken under it.
    std::mutex mutex_;
    bool have_stamp_ = false;
    Stamp stamp_;
    FileMap map_;
    // Paths keyed by their text with every run of separators made one; entries whose texts
    // share a key are told apart by path comparison.
    std::unordered_map<std::string, std::vector<std::filesystem::path>> by_text_;
};
