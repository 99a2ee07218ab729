#include "tools/send.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string message(std::string const& file, std::string const& inserted, int offset = 0) {
    return R"({"file":")" + file + R"(","type":"change","inserted":")" + inserted +
           R"(","deletedCount":0,"offset":)" + std::to_string(offset) +
           R"(,"causedByUndoRedo":false,"causedByCopyPaste":false,"isSaved":false})";
}

int bound_socket(fs::path const& path) {
    int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind " + path.native());
    }
    return fd;
}

// Stands where the monitor's socket would: accepts one connection and keeps every byte it
// receives until the sender closes it.
class MessageServer {
public:
    explicit MessageServer(fs::path const& path) : listen_fd_(bound_socket(path)) {
        if (::listen(listen_fd_, 4) != 0 || ::pipe(wake_) != 0) {
            throw std::runtime_error("cannot listen");
        }
        received_ = std::async(std::launch::async, [this] { return serve(); });
    }
    MessageServer(MessageServer const&) = delete;
    MessageServer& operator=(MessageServer const&) = delete;
    ~MessageServer() {
        char const byte = 0;
        (void)!::write(wake_[1], &byte, 1);
        if (received_.valid()) {
            received_.wait();
        }
        ::close(listen_fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    // What arrived on the connection once it was closed, or "<timeout>" after `bound`.
    std::string received(std::chrono::milliseconds bound = 20s) {
        if (received_.wait_for(bound) != std::future_status::ready) {
            return "<timeout>";
        }
        return received_.get();
    }

    // True once the bytes received so far are `data`, while the connection may stay open.
    bool has_received(std::string const& data, std::chrono::milliseconds bound = 20s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, [&] { return data_ == data; });
    }

private:
    // Waits until `fd` is readable or the server is told to stop.
    bool readable(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (::poll(fds, 2, 30000) > 0) {
            if (fds[1].revents != 0) {
                return false;
            }
            if (fds[0].revents != 0) {
                return true;
            }
        }
        return false;
    }

    std::string serve() {
        if (!readable(listen_fd_)) {
            return "<no connection>";
        }
        int const fd = ::accept(listen_fd_, nullptr, nullptr);
        char chunk[4096];
        while (readable(fd)) {
            ssize_t const count = ::read(fd, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            std::lock_guard lock(mutex_);
            data_.append(chunk, static_cast<std::size_t>(count));
            cv_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        return data_;
    }

    int listen_fd_;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string data_;
    std::future<std::string> received_;
};

class SendTool : public ::testing::Test {
protected:
    ProcessResult send(std::vector<std::string> args) {
        args.insert(args.begin(), SEND_BIN);
        return run_process(std::move(args));
    }

    TempDir dir;
    fs::path const socket = dir / "monitor.sock";
};

}  // namespace

TEST(ChangeMessage, AcceptsWhatTheMonitorTurnsIntoAnEvent) {
    EXPECT_EQ(change_message_problem(message("/p/a.c", "x")), std::nullopt);
    EXPECT_EQ(change_message_problem(message("/p/a.c", "", -1)), std::nullopt);
    // Key order is free, other keys are ignored, a carriage return is blank space to JSON.
    EXPECT_EQ(change_message_problem(
                  R"({"isSaved":true,"extra":[1],"offset":18446744073709551615,"deletedCount":2.9,)"
                  R"("causedByCopyPaste":true,"causedByUndoRedo":false,"inserted":"",)"
                  R"("type":"save","file":"relative.c"})"
                  "\r"),
              std::nullopt);
}

TEST(ChangeMessage, AcceptsExactlyWhatTheMonitorAccepts) {
    std::string const good = message("/p/a.c", "x");
    auto const with = [&](std::string const& key, std::string const& value) {
        nlohmann::json changed = nlohmann::json::parse(good);
        changed[key] = nlohmann::json::parse(value);
        return change_message_problem(changed.dump()).value_or("<accepted>");
    };
    EXPECT_EQ(with("file", "3"),
              "[json.exception.type_error.302] type must be string, but is number");
    EXPECT_EQ(with("isSaved", "0"),
              "[json.exception.type_error.302] type must be boolean, but is number");
    EXPECT_EQ(with("deletedCount", "1e20"),
              "\"deletedCount\" is 1e+20, not an unsigned 64-bit number");
    EXPECT_EQ(with("offset", "-1.0"), "\"offset\" is -1.0, not an unsigned 64-bit number");
    for (auto const& [key, value] :
         {std::pair{"offset", "7.5"}, {"offset", "-1"}, {"deletedCount", "true"}}) {
        EXPECT_EQ(with(key, value), "<accepted>") << key << "=" << value;
    }
    std::string missing = good;
    missing.replace(missing.find(",\"causedByUndoRedo\":false"), 25, "");
    EXPECT_EQ(change_message_problem(missing),
              "[json.exception.type_error.302] type must be boolean, but is null");
    EXPECT_NE(change_message_problem("[1,2]")->find("type_error.305"), std::string::npos);
    EXPECT_NE(change_message_problem(good + "}")->find("parse_error"), std::string::npos);
}

TEST_F(SendTool, StreamsEveryMessageOfAFileInOrder) {
    MessageServer server(socket);
    std::string const lines =
        message("/p/a.c", "a") + "\n\n" + message("/p/b.c", "b") + "\r\n" + message("/p/a.c", "c");
    write_file(dir / "in.jsonl", lines);
    auto const result = send({"--socket", socket, dir / "in.jsonl"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(server.received(), message("/p/a.c", "a") + "\n" + message("/p/b.c", "b") + "\r\n" +
                                     message("/p/a.c", "c") + "\n");
    EXPECT_EQ(result.output, "sent 3 messages to " + socket.native() + "\n");
}

TEST_F(SendTool, ReadsStandardInputAndDeliversALargeStreamWhole) {
    MessageServer server(socket);
    std::string lines;
    for (int index = 0; index < 3000; ++index) {
        lines += message("/p/a.c", std::string(60, 'a' + index % 26), index * 60) + "\n";
    }
    write_file(dir / "in.jsonl", lines);
    auto const result = run_process({"/bin/sh", "-c", "exec \"$0\" --socket=\"$1\" - < \"$2\"",
                                     SEND_BIN, socket, dir / "in.jsonl"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(server.received(), lines);
}

TEST_F(SendTool, SendsEachMessageOfASlowProducerAsItComes) {
    MessageServer server(socket);
    fs::path const fifo = dir / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened for reading and writing, the pipe lets the tool open it without waiting for us.
    int const producer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(producer, 0);
    ChildProcess tool({SEND_BIN, "--socket", socket, fifo});
    std::string expected;
    for (char const* inserted : {"first", "second"}) {
        std::string const line = message("/p/a.c", inserted) + "\n";
        ASSERT_EQ(::write(producer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        expected += line;
        // The message arrives while the input is still open.
        EXPECT_TRUE(server.has_received(expected)) << tool.output();
    }
    ::close(producer);
    EXPECT_EQ(tool.wait(20s), 0) << tool.output();
    EXPECT_EQ(server.received(), expected);
}

TEST_F(SendTool, ReportsTheLineNumberOfABadLineAfterSendingTheOnesBefore) {
    MessageServer server(socket);
    std::string bad = message("/p/a.c", "x");
    bad.replace(bad.find("\"isSaved\":false"), 15, "\"isSaved\":\"no\"");
    write_file(dir / "in.jsonl",
               message("/p/a.c", "1") + "\n\n" + bad + "\n" + message("/p/a.c", "2") + "\n");
    auto const result = send({"--socket", socket, dir / "in.jsonl"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find(
                  (dir / "in.jsonl").native() +
                  ":3: [json.exception.type_error.302] type must be boolean, but is string"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("stopped there; 1 message before it sent"), std::string::npos);
    EXPECT_EQ(server.received(), message("/p/a.c", "1") + "\n");
}

TEST_F(SendTool, SaysPlainlyWhenNoMonitorListens) {
    write_file(dir / "in.jsonl", message("/p/a.c", "x") + "\n");
    auto const nothing = send({"--socket", socket, dir / "in.jsonl"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.output.find("no monitor is listening on '" + socket.native() +
                                  "' (no socket there)"),
              std::string::npos)
        << nothing.output;

    // A socket file left by a monitor that has ended.
    ::close(bound_socket(socket));
    auto const stale = send({"--socket", socket, dir / "in.jsonl"});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.output.find("(connection refused)"), std::string::npos) << stale.output;

    auto const too_long = send({"--socket", "/tmp/" + std::string(200, 's'), dir / "in.jsonl"});
    EXPECT_EQ(too_long.status, 1);
    EXPECT_NE(too_long.output.find("is too long"), std::string::npos);
}

TEST_F(SendTool, CheckReportsEveryBadLineWithoutAMonitor) {
    write_file(dir / "in.jsonl",
               message("/p/a.c", "1") + "\nnot json\n" + message("/p/a.c", "2") + "\n[]\n");
    auto const bad = send({"--check", dir / "in.jsonl", "--socket", socket});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("in.jsonl:2: [json.exception.parse_error"), std::string::npos)
        << bad.output;
    EXPECT_NE(bad.output.find("in.jsonl:4: [json.exception.type_error.305]"), std::string::npos);

    write_file(dir / "good.jsonl", message("/p/a.c", "1") + "\n" + message("/p/a.c", "2") + "\n");
    auto const good = send({"--check", dir / "good.jsonl"});
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_EQ(good.output, "2 messages are valid\n");
}

TEST_F(SendTool, RefusesBadUsageAndMissingInput) {
    EXPECT_EQ(send({"--socket"}).status, 2);
    EXPECT_EQ(send({"--verbose"}).status, 2);
    EXPECT_EQ(send({"a.jsonl", "b.jsonl"}).status, 2);
    auto const missing = send({"--socket", socket, dir / "missing.jsonl"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot open"), std::string::npos);
    EXPECT_EQ(send({"--socket", socket, dir.path()}).status, 1);
    auto const help = send({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: wardlet-send"), std::string::npos);
}
