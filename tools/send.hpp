#pragma once

#include "editor/vscode_listener.hpp"

#include <cstddef>
#include <functional>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The socket the monitor listens on for the editor extension.
inline constexpr char const* DEFAULT_SOCKET_PATH = EDITOR_SOCKET_PATH;

// Why the monitor could not turn `line` into an editor change, or nothing when it can: a JSON
// object with "file", "type" and "inserted" strings, "deletedCount" and "offset" numbers that
// the monitor reads as unsigned 64-bit values ("offset" -1 meaning no position), and the
// "causedByUndoRedo", "causedByCopyPaste" and "isSaved" booleans. Other keys are ignored.
std::optional<std::string> change_message_problem(std::string const& line);

// Lines with nothing but blanks carry no message and are not sent.
bool is_blank_line(std::string_view line);

// A failure to reach the monitor or to keep sending to it.
class SendError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A connection to the monitor's socket, as the editor extension has one.
class MonitorConnection {
public:
    // Throws SendError, saying so plainly, when no monitor listens at `socket_path`.
    explicit MonitorConnection(std::string socket_path);
    MonitorConnection(MonitorConnection const&) = delete;
    MonitorConnection& operator=(MonitorConnection const&) = delete;
    ~MonitorConnection();

    // Writes every byte of `data`; throws SendError when the monitor has gone.
    void send(std::string_view data);

private:
    std::string socket_path_;
    int fd_ = -1;
};

struct BadLine {
    std::size_t number;  // 1-based
    std::string problem;
};

struct StreamResult {
    std::size_t sent = 0;            // messages handed to the writer
    std::optional<BadLine> stopped;  // the bad line that ended the stream, if any
};

// Reads one message per line from `in` and hands the valid ones, each ended by a line feed, to
// `write`, several at a time when more input is already waiting and one by one when it is not,
// so that a slow producer's messages go out as they come. Blank lines are skipped. Stops before
// the first bad line; the messages before it have been written.
StreamResult stream_messages(std::istream& in, std::function<void(std::string_view)> const& write);

// Every bad line of `in`, nothing sent; the second value counts the messages.
std::pair<std::vector<BadLine>, std::size_t> check_messages(std::istream& in);
