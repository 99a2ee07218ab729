#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tools/track.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

static std::string read_whole(int fd) {
    std::string content;
    char chunk[65536];
    for (ssize_t count; (count = ::pread(fd, chunk, sizeof chunk, content.size())) > 0;) {
        content.append(chunk, static_cast<std::size_t>(count));
    }
    return content;
}

// A reader loops on the map, as the monitor reads it for every change message, while the tool
// adds and removes a line. Besides checking each reading, it keeps the previous descriptor open
// and reads it again: a map replaced in one step leaves an opened file as it was, while one
// rewritten in place changes under its reader, however short the moment it is half written.
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
    fs::path const extra = write_file(project / "extra.c", "y");
    std::string const with_extra = without_extra + map_line(file_id_of(extra), extra) + "\n";

    std::atomic<long> readings{0};
    std::atomic<bool> stop{false}, failed{false};
    std::string problem;  // the reader's; read after it has ended
    std::thread reader([&] {
        int held = -1;
        std::string held_content;
        while (!stop && problem.empty()) {
            int const fd = ::open(map.c_str(), O_RDONLY | O_CLOEXEC);
            std::string content = fd < 0 ? "" : read_whole(fd);
            if (content != without_extra && content != with_extra) {
                problem = "read a map of " + std::to_string(content.size()) + " bytes";
            } else if (held >= 0 && read_whole(held) != held_content) {
                problem = "a map already opened changed under its reader";
            }
            if (held >= 0) {
                ::close(held);
            }
            held = fd;
            held_content = std::move(content);
            failed = !problem.empty();
            ++readings;
        }
        ::close(held);
    });
    auto await_readings = [&](long more) {
        long const target = readings + more;
        for (auto const deadline = std::chrono::steady_clock::now() + 20s;
             readings < target && !failed && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::yield();
        }
    };
    for (int round = 0; round < 10 && !failed; ++round) {
        for (auto const& call : std::vector<std::vector<std::string>>{
                 {TRACK_BIN, project.path(), extra},
                 {TRACK_BIN, project.path(), "--remove", extra}}) {
            // The reader holds a map opened before the call and reads it again after it.
            await_readings(1);
            EXPECT_EQ(run_process(call).status, 0);
            await_readings(2);
        }
    }
    stop = true;
    reader.join();
    EXPECT_EQ(problem, "");
    EXPECT_GE(readings, 40);
    EXPECT_EQ(read_file(map), without_extra);
}
