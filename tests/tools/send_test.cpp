#include "tools/send.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string message(std::string const& inserted, int offset = 0) {
    return R"({"file":"/p/a.c","type":"change","inserted":")" + inserted +
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
// receives until the sender closes it. Every wait is bounded.
class MessageServer {
public:
    explicit MessageServer(fs::path const& path) : fd_(bound_socket(path)) {
        ::listen(fd_, 4);
        served_ = std::async(std::launch::async, [this] { serve(); });
    }
    ~MessageServer() {
        served_.wait();
        ::close(fd_);
    }
    // True once the bytes received so far are `data`, while the connection may stay open.
    bool has_received(std::string const& data) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 20s, [&] { return data_ == data; });
    }
    // What arrived on the connection once it was closed.
    std::string received() {
        if (served_.wait_for(20s) != std::future_status::ready) {
            return "<still open>";
        }
        std::lock_guard lock(mutex_);
        return data_;
    }

private:
    void serve() {
        pollfd pending{fd_, POLLIN, 0};
        if (::poll(&pending, 1, 20000) != 1) {
            return;
        }
        int const connection = ::accept(fd_, nullptr, nullptr);
        char chunk[4096];
        for (ssize_t count; (count = ::read(connection, chunk, sizeof chunk)) > 0;) {
            std::lock_guard lock(mutex_);
            data_.append(chunk, static_cast<std::size_t>(count));
            cv_.notify_all();
        }
        ::close(connection);
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string data_;
    std::future<void> served_;
};

class SendTool : public ::testing::Test {
protected:
    ProcessResult send(std::vector<std::string> args) {
        args.insert(args.begin(), SEND_BIN);
        return run_process(std::move(args));
    }
    bool has(std::string const& text, std::string const& needle) {
        return text.find(needle) != std::string::npos;
    }

    TempDir dir;
    fs::path const socket = dir / "monitor.sock";
    fs::path const input = dir / "in.jsonl";
};

}  // namespace

// Blank lines are skipped; the rest arrive whole and in order, a carriage return included.
TEST_F(SendTool, DeliversALargeStreamFromStandardInputWholeAndInOrder) {
    MessageServer server(socket);
    std::string lines, sent;
    for (int index = 0; index < 3000; ++index) {
        std::string const line = message(std::string(60, 'a' + index % 26), index * 60);
        lines += line + (index % 100 == 0 ? "\r\n\n \n" : "\n");
        sent += line + (index % 100 == 0 ? "\r\n" : "\n");
    }
    write_file(input, lines);
    auto const result = run_process(
        {"/bin/sh", "-c", "exec \"$0\" --socket=\"$1\" - < \"$2\"", SEND_BIN, socket, input});
    EXPECT_EQ(result.output, "sent 3000 messages to " + socket.native() + "\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(server.received(), sent);
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
        std::string const line = message(inserted) + "\n";
        ASSERT_EQ(::write(producer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        expected += line;
        // The message arrives while the input is still open.
        EXPECT_TRUE(server.has_received(expected)) << tool.output();
    }
    ::close(producer);
    EXPECT_EQ(tool.wait(20s), 0) << tool.output();
}

TEST_F(SendTool, StopsAtABadLineAfterSendingTheOnesBeforeAndCheckReportsEveryBadLine) {
    MessageServer server(socket);
    std::string bad = message("x");
    bad.replace(bad.find("\"isSaved\":false"), 15, "\"isSaved\":\"no\"");
    write_file(input, message("1") + "\n\n" + bad + "\n" + message("2") + "\nnot json\n[]\n");
    auto const result = send({"--socket", socket, input});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(has(result.output, input.native() + ":3: [json.exception.type_error.302] type "
                                                    "must be boolean, but is string"))
        << result.output;
    EXPECT_TRUE(has(result.output, "stopped there; 1 message before it sent"));
    EXPECT_EQ(server.received(), message("1") + "\n");
    auto const checked = send({"--check", input, "--socket", socket});
    EXPECT_EQ(checked.status, 1);
    for (auto const& line :
         {":3: [json.exception.type_error.302]", ":5: [json.exception.parse_error",
          ":6: [json.exception.type_error.305]"}) {
        EXPECT_TRUE(has(checked.output, input.native() + line)) << checked.output;
    }
    write_file(input, message("1") + "\n" + message("2") + "\n");
    EXPECT_EQ(send({"--check", input}).output, "2 messages are valid\n");
}

TEST_F(SendTool, SaysPlainlyWhyItCannotSendAndRefusesBadUsage) {
    write_file(input, message("x") + "\n");
    std::string const long_socket = "/tmp/" + std::string(200, 's');
    for (auto const& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--socket", socket, input},
              "no monitor is listening on '" + socket.native() + "' (no socket there)"},
             {{"--socket", long_socket, input}, "is too long"},
             {{"--socket", socket, dir / "missing.jsonl"}, "cannot open"},
             {{"--socket", socket, dir.path()}, ""}}) {
        auto const result = send(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(has(result.output, reason)) << result.output;
    }
    ::close(bound_socket(socket));  // a socket file left by a monitor that has ended
    EXPECT_TRUE(has(send({"--socket", socket, input}).output, "(connection refused)"));
    for (auto const& args : std::vector<std::vector<std::string>>{
             {"--socket"}, {"--verbose"}, {"a.jsonl", "b.jsonl"}}) {
        EXPECT_EQ(send(args).status, 2);
    }
    auto const help = send({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.output, "usage: wardlet-send"));
}
