#include "tools/send.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

using nlohmann::json;

// 2^64: a floating-point value truncates to an unsigned 64-bit value only below it.
constexpr double UNSIGNED_64_END = 18446744073709551616.0;

std::string key_name(char const* key) {
    return std::string("\"") + key + "\"";
}

std::optional<std::string> text_problem(json const& message, char const* key) {
    auto const found = message.find(key);
    if (found == message.end()) {
        return "missing " + key_name(key);
    }
    if (!found->is_string()) {
        return key_name(key) + " must be a string, not " + found->type_name();
    }
    return std::nullopt;
}

std::optional<std::string> flag_problem(json const& message, char const* key) {
    auto const found = message.find(key);
    if (found == message.end()) {
        return "missing " + key_name(key);
    }
    if (!found->is_boolean()) {
        return key_name(key) + " must be true or false, not " + found->type_name();
    }
    return std::nullopt;
}

// A count or position: a number that becomes an unsigned 64-bit value without wrapping (a
// fraction is cut off). `minus_one` allows -1, the position of a change that has none.
std::optional<std::string> number_problem(json const& message, char const* key, bool minus_one) {
    auto const found = message.find(key);
    if (found == message.end()) {
        return "missing " + key_name(key);
    }
    json const& value = *found;
    if (!value.is_number()) {
        return key_name(key) + " must be a number, not " + value.type_name();
    }
    bool fits = value.is_number_unsigned();
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        fits = minus_one && value.get<std::int64_t>() == -1;
    }
    if (value.is_number_float()) {
        double const number = value.get<double>();
        fits = number > -1.0 && number < UNSIGNED_64_END;
    }
    if (fits) {
        return std::nullopt;
    }
    return key_name(key) + " must be " + (minus_one ? "-1 or " : "") +
           "a number from 0 to 18446744073709551615, not " + value.dump();
}

}  // namespace

std::optional<std::string> change_message_problem(std::string const& line) {
    json message;
    try {
        message = json::parse(line);
    } catch (json::parse_error const& error) {
        std::string const what = error.what();
        auto const after_id = what.find("] ");
        return "not JSON: " + (after_id == std::string::npos ? what : what.substr(after_id + 2));
    }
    if (!message.is_object()) {
        return std::string("expected a JSON object, got ") + message.type_name();
    }
    for (char const* key : {"file", "type", "inserted"}) {
        if (auto problem = text_problem(message, key)) {
            return problem;
        }
    }
    if (auto problem = number_problem(message, "deletedCount", false)) {
        return problem;
    }
    if (auto problem = number_problem(message, "offset", true)) {
        return problem;
    }
    for (char const* key : {"causedByUndoRedo", "causedByCopyPaste", "isSaved"}) {
        if (auto problem = flag_problem(message, key)) {
            return problem;
        }
    }
    return std::nullopt;
}

bool is_blank_line(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](unsigned char c) { return std::isspace(c) != 0; });
}

MonitorConnection::MonitorConnection(std::string socket_path)
    : socket_path_(std::move(socket_path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path_.size() >= sizeof address.sun_path) {
        throw SendError("socket path '" + socket_path_ + "' is too long");
    }
    std::memcpy(address.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw SendError(std::string("cannot create a socket: ") + std::strerror(errno));
    }
    int result;
    do {
        result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return;
    }
    int const error = errno;
    ::close(fd_);
    if (error == ENOENT || error == ECONNREFUSED) {
        throw SendError("no monitor is listening on '" + socket_path_ + "' (" +
                        (error == ENOENT ? "no socket there" : "connection refused") +
                        "); start it with: wardlet <proj_dir>");
    }
    throw SendError("cannot connect to '" + socket_path_ + "': " + std::strerror(error));
}

MonitorConnection::~MonitorConnection() {
    ::close(fd_);
}

void MonitorConnection::send(std::string_view data) {
    while (!data.empty()) {
        ssize_t const count = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throw SendError("the monitor at '" + socket_path_ +
                            "' closed the connection: " + std::strerror(errno));
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
}

StreamResult stream_messages(std::istream& in, std::function<void(std::string_view)> const& write) {
    // Messages wait in the batch while more input is already at hand, up to this size.
    constexpr std::size_t BATCH_BYTES = 64 * 1024;
    StreamResult result;
    std::string batch;
    std::size_t batched = 0;
    auto const flush = [&] {
        if (!batch.empty()) {
            write(batch);
            result.sent += batched;
            batch.clear();
            batched = 0;
        }
    };
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (!is_blank_line(line)) {
            if (auto problem = change_message_problem(line)) {
                flush();
                result.stopped = BadLine{number, std::move(*problem)};
                return result;
            }
            batch += line;
            batch += '\n';
            ++batched;
        }
        if (batch.size() >= BATCH_BYTES || in.rdbuf()->in_avail() <= 0) {
            flush();
        }
    }
    flush();
    return result;
}

std::pair<std::vector<BadLine>, std::size_t> check_messages(std::istream& in) {
    std::vector<BadLine> bad;
    std::size_t messages = 0;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (is_blank_line(line)) {
            continue;
        }
        if (auto problem = change_message_problem(line)) {
            bad.push_back({number, std::move(*problem)});
        } else {
            ++messages;
        }
    }
    return {std::move(bad), messages};
}
