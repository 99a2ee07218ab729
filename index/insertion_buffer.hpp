#pragma once

#include "index/suffix_automaton.hpp"

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

// In-memory mirror of every tracked file, edited as the editor reports changes, with an index that
// tells whether a text already occurs in some tracked file. One mutex guards everything and is
// held for the whole of each operation; sequences of operations are not atomic.
//
// The index of a file is its content as of the last update, searched directly, plus an automaton
// over the text removed from the file since it was loaded. Text removed by adjacent deletions is
// gathered into one pending run first, so that a word erased a character at a time is indexed
// whole rather than as single characters.
class InsertionBuffer {
public:
    struct sambuf_pair {
        SuffixAutomaton sam;           // text removed from the file, run by run
        std::string buf;               // the mirrored content
        std::string indexed;           // `buf` as of the last update
        std::string pending;           // removed run still growing, not yet in `sam`
        std::size_t pending_at = 0;    // where in `indexed` the pending run was cut out
        bool pending_forward = false;  // the run last grew to the right (forward delete)
        // How many leading and trailing bytes of `buf` are known to equal those of `indexed`:
        // the edits since the last update lie between, so an update compares only that part.
        std::size_t same_prefix = 0;
        std::size_t same_suffix = 0;
    };

    void insert_filecontent(std::filesystem::path const& path, unsigned long offset,
                            std::string const& text);
    void delete_filecontent(std::filesystem::path const& path, unsigned long offset,
                            unsigned long count);
    void set_filecontent(std::filesystem::path const& path, std::string text);
    std::optional<std::string> get_filecontent(std::filesystem::path const& path) const;
    // The entry of `from`, content and index, is the entry of `to` from now on, replacing any
    // entry `to` had. False, changing nothing, when `from` has no entry.
    bool rename_file(std::filesystem::path const& from, std::filesystem::path const& to);

    // Brings the index of `path` up to its current content.
    void update(std::filesystem::path const& path);
    // Adds `content` to the automaton of `path`. Takes no lock: the caller must hold the mutex.
    void async_update(std::filesystem::path const& path, std::string const& content);

    // Whether some tracked file holds `text` in its indexed content or once held it; logs the
    // search and the first file that matches.
    bool contains(std::string const& text);

    // Byte-wise three-way comparison of the mirrored content with `text`; 0 without an entry.
    int compare_filecontent(std::filesystem::path const& path, std::string const& text) const;
    // The line diff from the mirrored content to `text`; empty without an entry.
    std::string diff_filecontent(std::filesystem::path const& path, std::string const& text) const;
    std::string get_diff_per_line(std::filesystem::path const& path, std::string const& text) const;
    // The same line diff between two texts.
    static std::string line_diff(std::string const& old_content, std::string const& text);

    // States in the automaton of `path` (0 without an entry): how much removed text it holds.
    std::size_t automaton_size(std::filesystem::path const& path) const;

private:
    sambuf_pair& entry(std::filesystem::path const& path);
    void report_drift(std::filesystem::path const& path, unsigned long offset,
                      std::size_t size) const;

    std::unordered_map<std::filesystem::path, sambuf_pair> files_;
    mutable std::mutex mutex_;
};
