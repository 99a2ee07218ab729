#pragma once

#include <filesystem>
#include <string>

// A fresh directory below /tmp, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    ~TempDir();

    std::filesystem::path const& path() const { return path_; }
    std::filesystem::path operator/(std::filesystem::path const& child) const {
        return path_ / child;
    }

private:
    std::filesystem::path path_;
};

// Writes `content` to `path` (creating or truncating it) and returns the path.
std::filesystem::path write_file(std::filesystem::path const& path, std::string const& content);
std::string read_file(std::filesystem::path const& path);
