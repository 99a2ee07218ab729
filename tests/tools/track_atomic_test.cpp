#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tools/track.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string read_whole(int fd) {
    std::string content;
    char chunk[65536];
    for (off_t offset = 0;;) {
        ssize_t const count = ::pread(fd, chunk, sizeof chunk, offset);
        if (count <= 0) {
            return content;
        }
        content.append(chunk, static_cast<std::size_t>(count));
        offset += count;
    }
}

// Reads the map over and over, as the monitor does for every change message. Besides checking
// each reading, it keeps the previous descriptor open and reads it again: a map replaced in one
// step leaves an opened file as it was, while one rewritten in place changes under its reader,
// however short the moment in which it is half written.
class MapReader {
public:
    MapReader(fs::path map, std::vector<std::string> allowed)
        : map_(std::move(map)), allowed_(std::move(allowed)), thread_([this] { run(); }) {}
    ~MapReader() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        thread_.join();
    }

    long readings() {
        std::lock_guard lock(mutex_);
        return readings_;
    }

    // Waits until `count` readings are done, or the reader has found a problem (false then).
    bool await_readings(long count) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 20s, [&] { return readings_ >= count || !problem_.empty(); });
        return readings_ >= count && problem_.empty();
    }

    std::string problem() {
        std::lock_guard lock(mutex_);
        return problem_;
    }

private:
    bool allowed(std::string const& content) const {
        return std::find(allowed_.begin(), allowed_.end(), content) != allowed_.end();
    }

    void run() {
        int held = -1;
        std::string held_content;
        std::string problem;
        while (problem.empty()) {
            {
                std::lock_guard lock(mutex_);
                if (stop_) {
                    break;
                }
            }
            int const fd = ::open(map_.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                problem = "the map was missing";
                break;
            }
            std::string content = read_whole(fd);
            if (!allowed(content)) {
                problem = "read a map of " + std::to_string(content.size()) + " bytes";
            } else if (held >= 0 && read_whole(held) != held_content) {
                problem = "a map already opened changed under its reader";
            }
            if (held >= 0) {
                ::close(held);
            }
            held = fd;
            held_content = std::move(content);
            std::lock_guard lock(mutex_);
            ++readings_;
            problem_ = problem;
            cv_.notify_all();
        }
        if (held >= 0) {
            ::close(held);
        }
        std::lock_guard lock(mutex_);
        problem_ = problem;
        cv_.notify_all();
    }

    fs::path const map_;
    std::vector<std::string> const allowed_;
    std::mutex mutex_;
    std::condition_variable cv_;
    long readings_ = 0;
    bool stop_ = false;
    std::string problem_;
    std::thread thread_;
};

}  // namespace

TEST(TrackAtomicWrite, AReaderLoopingOnTheMapNeverSeesHalfOfIt) {
    TempDir project;
    std::vector<std::string> args{TRACK_BIN, project.path()};
    std::string without_extra;
    for (int index = 0; index < 300; ++index) {
        fs::path const file = write_file(project / ("file-" + std::to_string(index) + ".c"), "x");
        args.push_back(file);
        without_extra += map_line(file_id_of(file), file) + "\n";
    }
    ASSERT_EQ(run_process(args).status, 0);
    fs::path const map = project_files(project.path()).map;
    ASSERT_EQ(read_file(map), without_extra);
    fs::path const extra = write_file(project / "extra.c", "y");
    std::string const with_extra = without_extra + map_line(file_id_of(extra), extra) + "\n";

    MapReader reader(map, {without_extra, with_extra});
    for (int round = 0; round < 10; ++round) {
        for (std::vector<std::string> const& call : std::vector<std::vector<std::string>>{
                 {TRACK_BIN, project.path(), extra},
                 {TRACK_BIN, project.path(), "--remove", extra}}) {
            // The reader holds a map opened before the call and reads it again after it.
            ASSERT_TRUE(reader.await_readings(reader.readings() + 1)) << reader.problem();
            ASSERT_EQ(run_process(call).status, 0);
            ASSERT_TRUE(reader.await_readings(reader.readings() + 2)) << reader.problem();
        }
    }
    EXPECT_EQ(reader.problem(), "");
    EXPECT_EQ(read_file(map), without_extra);
}
