#pragma once

#include "editor/document_text.hpp"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// What the monitor knows of the documents the editor holds, by path: the format the editor read
// each one in, whether an editor has opened or edited it during this run (an editor may
// reconnect, so this outlives its connection), and the SHA-256 of the disk's bytes at its last
// save that matched the editor's text. Connection readers write it, the bus's deliveries read it;
// every call takes the one mutex for its own duration.
class EditorDocuments {
public:
    void set_format(std::filesystem::path const& path, DocumentFormat format);
    // The line end of a document whose format is known, after the editor rewrote every line end.
    void set_eol(std::filesystem::path const& path, std::string eol);
    std::optional<DocumentFormat> format(std::filesystem::path const& path) const;

    void mark_seen(std::filesystem::path const& path);
    bool seen(std::filesystem::path const& path) const;

    void note_saved_disk(std::filesystem::path const& path, std::string disk_sha256);
    bool is_saved_disk(std::filesystem::path const& path, std::string_view disk_sha256) const;

    // Everything known of `from` belongs to `to` from now on.
    void rename(std::filesystem::path const& from, std::filesystem::path const& to);

    // The disk's bytes of `path` as the editor holds them: decoded in the document's format, or
    // unchanged while no format is known. No value when the format's encoding cannot be decoded.
    std::optional<std::string> editor_text(std::filesystem::path const& path,
                                           std::string raw) const;

private:
    struct State {
        std::optional<DocumentFormat> format;
        bool seen = false;
        std::string saved_disk_sha256;
    };

    // State below is protected by mutex_, held for one member call and never while calling out.
    mutable std::mutex mutex_;
    std::unordered_map<std::filesystem::path, State> states_;
};
