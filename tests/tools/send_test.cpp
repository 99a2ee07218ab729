#include "tools/send.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

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
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind " + path.native());
    }
    return fd;
}

// Waits, at most 20 s, until `fd` can be read (or accepted from).
bool readable(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, 20000) == 1;
}

// Stands where the monitor's socket would, and reads what the tool sends.
class SendTool : public ::testing::Test {
protected:
    ProcessResult send(std::vector<std::string> args) {
        args.insert(args.begin(), SEND_BIN);
        return run_process(std::move(args));
    }
    void serve() { ::listen(server = bound_socket(socket), 4); }
    // Accepts the tool's connection and reads until the tool closes it or the bytes read end with
    // `until`.
    std::string receive(std::string const& until = "") {
        if (connection < 0) {
            connection = readable(server) ? ::accept(server, nullptr, nullptr) : -1;
        }
        std::string data;
        char chunk[4096];
        while ((until.empty() || !data.ends_with(until)) && readable(connection)) {
            ssize_t const count = ::read(connection, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            data.append(chunk, static_cast<std::size_t>(count));
        }
        return data;
    }
    ~SendTool() override {
        ::close(connection);
        ::close(server);
    }

    TempDir dir;
    fs::path const socket = dir / "monitor.sock";
    fs::path const input = dir / "in.jsonl";
    int server = -1, connection = -1;
};

}  // namespace

// Blank lines are skipped; the rest arrive whole and in order, a carriage return included.
TEST_F(SendTool, DeliversALargeStreamFromStandardInputWholeAndInOrder) {
    std::string lines, sent;
    for (int index = 0; index < 3000; ++index) {
        std::string const line = message(std::string(60, 'a' + index % 26), index * 60);
        lines += line + (index % 100 == 0 ? "\r\n\n \n" : "\n");
        sent += line + (index % 100 == 0 ? "\r\n" : "\n");
    }
    write_file(input, lines);
    serve();
    ChildProcess tool(
        {"/bin/sh", "-c", "exec \"$0\" --socket=\"$1\" - < \"$2\"", SEND_BIN, socket, input});
    EXPECT_TRUE(receive() == sent);
    EXPECT_EQ(tool.wait(20s), 0);
    EXPECT_EQ(tool.output(), "sent 3000 messages to " + socket.native() + "\n");
}

TEST_F(SendTool, SendsEachMessageOfASlowProducerAsItComes) {
    fs::path const fifo = dir / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened for reading and writing, the pipe lets the tool open it without waiting for us.
    int const producer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    serve();
    ChildProcess tool({SEND_BIN, "--socket", socket, fifo});
    for (char const* inserted : {"first", "second"}) {
        std::string const line = message(inserted) + "\n";
        ASSERT_EQ(::write(producer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        // The message arrives while the input is still open.
        EXPECT_EQ(receive(line), line) << tool.output();
    }
    ::close(producer);
    EXPECT_EQ(tool.wait(20s), 0) << tool.output();
}

TEST_F(SendTool, StopsAtABadLineAfterSendingTheOnesBeforeAndCheckReportsEveryBadLine) {
    std::string bad = message("x");
    bad.replace(bad.find("\"isSaved\":false"), 15, "\"isSaved\":\"no\"");
    write_file(input, message("1") + "\n\n" + bad + "\n" + message("2") + "\nnot json\n[]\n");
    serve();
    ChildProcess tool({SEND_BIN, "--socket", socket, input});
    EXPECT_EQ(receive(), message("1") + "\n");
    EXPECT_EQ(tool.wait(20s), 1);
    EXPECT_TRUE(has(tool.output(), input.native() + ":3: [json.exception.type_error.302] type "
                                                    "must be boolean, but is string"))
        << tool.output();
    EXPECT_TRUE(has(tool.output(), "stopped there; 1 message before it sent"));
    auto const checked = send({"--check", input, "--socket", socket});
    EXPECT_EQ(checked.status, 1);
    for (auto const& line :
         {":3: [json.exception.type_error.302]", ":5: [json.exception.parse_error",
          ":6: [json.exception.type_error.305]"}) {
        EXPECT_TRUE(has(checked.output, input.native() + line)) << checked.output;
    }
}

TEST_F(SendTool, SaysPlainlyWhyItCannotSendAndRefusesBadUsage) {
    write_file(input, message("x") + "\n");
    for (auto const& [args, status, reason] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"--socket", socket, input},
              1,
              "no monitor is listening on '" + socket.native() + "' (no socket there)"},
             {{"--socket", "/tmp/" + std::string(200, 's'), input}, 1, "is too long"},
             {{"--socket", socket, dir / "missing.jsonl"}, 1, "cannot open"},
             {{"--socket", socket, dir.path()}, 1, ""},
             {{"--socket"}, 2, ""},
             {{"--verbose"}, 2, ""},
             {{"a.jsonl", "b.jsonl"}, 2, ""},
             {{"--help"}, 0, "usage: wardlet-send"}}) {
        auto const result = send(args);
        EXPECT_EQ(result.status, status) << result.output;
        EXPECT_TRUE(has(result.output, reason)) << result.output;
    }
    ::close(bound_socket(socket));  // a socket file left by a monitor that has ended
    EXPECT_TRUE(has(send({"--socket", socket, input}).output, "(connection refused)"));
}
