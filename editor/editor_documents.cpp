#include "editor/editor_documents.hpp"

void EditorDocuments::set_format(std::filesystem::path const& path, DocumentFormat format) {
    std::lock_guard lock(mutex_);
    states_[path].format = std::move(format);
}

void EditorDocuments::set_eol(std::filesystem::path const& path, std::string eol) {
    std::lock_guard lock(mutex_);
    auto const found = states_.find(path);
    if (found != states_.end() && found->second.format) {
        found->second.format->eol = std::move(eol);
    }
}

std::optional<DocumentFormat> EditorDocuments::format(std::filesystem::path const& path) const {
    std::lock_guard lock(mutex_);
    auto const found = states_.find(path);
    return found == states_.end() ? std::nullopt : found->second.format;
}

void EditorDocuments::mark_seen(std::filesystem::path const& path) {
    std::lock_guard lock(mutex_);
    states_[path].seen = true;
}

bool EditorDocuments::seen(std::filesystem::path const& path) const {
    std::lock_guard lock(mutex_);
    auto const found = states_.find(path);
    return found != states_.end() && found->second.seen;
}

void EditorDocuments::note_saved_disk(std::filesystem::path const& path, std::string disk_sha256) {
    std::lock_guard lock(mutex_);
    states_[path].saved_disk_sha256 = std::move(disk_sha256);
}

bool EditorDocuments::is_saved_disk(std::filesystem::path const& path,
                                    std::string_view disk_sha256) const {
    std::lock_guard lock(mutex_);
    auto const found = states_.find(path);
    return found != states_.end() && !found->second.saved_disk_sha256.empty() &&
           found->second.saved_disk_sha256 == disk_sha256;
}

void EditorDocuments::rename(std::filesystem::path const& from, std::filesystem::path const& to) {
    std::lock_guard lock(mutex_);
    auto node = states_.extract(from);
    if (node.empty()) {
        return;
    }
    node.key() = to;
    states_.insert_or_assign(to, std::move(node.mapped()));
}

std::optional<std::string> EditorDocuments::editor_text(std::filesystem::path const& path,
                                                        std::string raw) const {
    std::optional<DocumentFormat> const known = format(path);
    if (!known) {
        return raw;
    }
    return decode_as_editor(raw, *known);
}
