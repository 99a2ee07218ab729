#include "editor/filemap_cache.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace {

std::string collapse_separator_runs(std::string_view text) {
    std::string key;
    key.reserve(text.size());
    for (char const c : text) {
        if (c == '/' && !key.empty() && key.back() == '/') {
            continue;
        }
        key += c;
    }
    return key;
}

// A map changed this recently may change again within the same tick of the file system's clock
// without its times moving; its reading is not trusted until it is older.
constexpr long kSettleNanoseconds = 100'000'000;

bool settled(timespec const& stamp) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    long long const age = (static_cast<long long>(now.tv_sec) - stamp.tv_sec) * 1'000'000'000LL +
                          (now.tv_nsec - stamp.tv_nsec);
    return age >= kSettleNanoseconds;
}

bool same_time(timespec const& a, timespec const& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool FileMapCache::Stamp::operator==(Stamp const& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           same_time(modified, other.modified) && same_time(changed, other.changed);
}

FileMapCache::FileMapCache(std::filesystem::path map_path, std::filesystem::path project)
    : map_path_(std::move(map_path)), project_(std::move(project)) {}

void FileMapCache::refresh() {
    Stamp now;
    struct stat info {};
    if (::stat(map_path_.c_str(), &info) == 0) {
        now = Stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    }
    if (have_stamp_ && now == stamp_) {
        return;
    }
    // Stamped before reading: a change made while the map is read changes the stamp again, so
    // the next message reads it once more.
    have_stamp_ = settled(now.modified) && settled(now.changed);
    stamp_ = now;
    map_ = parse_filemap(map_path_, project_);
    by_text_.clear();
    for (auto const& [fid, entry] : map_) {
        by_text_[collapse_separator_runs(entry.filepath.native())].push_back(entry.filepath);
    }
}

bool FileMapCache::names(std::string_view file) {
    std::lock_guard lock(mutex_);
    refresh();
    return has_entry(file);
}

bool FileMapCache::named(std::string_view file) {
    std::lock_guard lock(mutex_);
    if (!have_stamp_) {
        refresh();
    }
    return has_entry(file);
}

bool FileMapCache::has_entry(std::string_view file) const {
    auto const found = by_text_.find(collapse_separator_runs(file));
    if (found == by_text_.end()) {
        return false;
    }
    std::filesystem::path const wanted(file);
    return std::any_of(found->second.begin(), found->second.end(),
                       [&](std::filesystem::path const& path) { return path == wanted; });
}

FileMap FileMapCache::current() {
    std::lock_guard lock(mutex_);
    refresh();
    return map_;
}
