#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

// A fresh directory below /tmp, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/wardlet-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    ~TempDir() {
        std::error_code ignored;
        // Tests may leave directories without permissions behind; give them back before removal.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }

    std::filesystem::path const& path() const { return path_; }
    std::filesystem::path operator/(std::filesystem::path const& child) const {
        return path_ / child;
    }

private:
    std::filesystem::path path_;
};

// Writes `content` to `path` (creating or truncating it) and returns the path.
inline std::filesystem::path write_file(std::filesystem::path const& path,
                                        std::string const& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

// Whether `needle` occurs in `text` (a file or an output, say).
inline bool has(std::string const& text, std::string const& needle) {
    return text.find(needle) != std::string::npos;
}

inline std::string read_file(std::filesystem::path const& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}
