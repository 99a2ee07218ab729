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
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind " + path.native());
    }
    return fd;
}

// Waits, at most 20 s, until `fd` can be read (or accepted from).
bool readable(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, 20000) == 1;
}

// Reads what the tool sends on `connection` until it closes it, or until the bytes read end
// with `until`.
std::string receive(int connection, std::string const& until = "") {
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

class SendTool : public ::testing::Test {
protected:
    ProcessResult send(std::vector<std::string> args) {
        args.insert(args.begin(), SEND_BIN);
        return run_process(std::move(args));
    }
    bool has(std::string const& text, std::string const& needle) {
        return text.find(needle) != std::string::npos;
    }

    // Stands where the monitor's socket would.
    void serve() {
        server = bound_socket(socket);
        ::listen(server, 4);
    }
    int accept_tool() { return readable(server) ? ::accept(server, nullptr, nullptr) : -1; }
    ~SendTool() override { ::close(server); }

    TempDir dir;
    fs::path const socket = dir / "monitor.sock";
    fs::path const input = dir / "in.jsonl";
    int server = -1;
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
    int const connection = accept_tool();
    EXPECT_TRUE(receive(connection) == sent);
    EXPECT_EQ(tool.wait(20s), 0);
    EXPECT_EQ(tool.output(), "sent 3000 messages to " + socket.native() + "\n");
    ::close(connection);
}

TEST_F(SendTool, SendsEachMessageOfASlowProducerAsItComes) {
    fs::path const fifo = dir / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened for reading and writing, the pipe lets the tool open it without waiting for us.
    int const producer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(producer, 0);
    serve();
    ChildProcess tool({SEND_BIN, "--socket", socket, fifo});
    int const connection = accept_tool();
    for (char const* inserted : {"first", "second"}) {
        std::string const line = message(inserted) + "\n";
        ASSERT_EQ(::write(producer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        // The message arrives while the input is still open.
        EXPECT_EQ(receive(connection, line), line) << tool.output();
    }
    ::close(producer);
    EXPECT_EQ(tool.wait(20s), 0) << tool.output();
    ::close(connection);
}

TEST_F(SendTool, StopsAtABadLineAfterSendingTheOnesBeforeAndCheckReportsEveryBadLine) {
    std::string bad = message("x");
    bad.replace(bad.find("\"isSaved\":false"), 15, "\"isSaved\":\"no\"");
    write_file(input, message("1") + "\n\n" + bad + "\n" + message("2") + "\nnot json\n[]\n");
    serve();
    ChildProcess tool({SEND_BIN, "--socket", socket, input});
    int const connection = accept_tool();
    EXPECT_EQ(receive(connection), message("1") + "\n");
    EXPECT_EQ(tool.wait(20s), 1);
    ::close(connection);
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
