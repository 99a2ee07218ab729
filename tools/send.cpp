#include "tools/send.hpp"

#include "editor/change_message.hpp"
#include "editor/socket_owner.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

std::optional<std::string> change_message_problem(std::string const& line) {
    // The monitor's own parser decides, so that the tool accepts exactly what the monitor does.
    try {
        parse_event(line);
    } catch (std::exception const& error) {
        return error.what();
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
    auto const refuse = [&](uid_t owner, char const* relation) {
        return SendError("'" + socket_path_ + "' " + relation + " uid " + std::to_string(owner) +
                         ", not to you (uid " + std::to_string(::geteuid()) + "): nothing sent; " +
                         OWN_SOCKET_HINT);
    };
    // Text typed by this user goes only to a monitor of this user's.
    if (auto const owner = foreign_owner(socket_path_)) {
        throw refuse(*owner, "belongs to");
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw SendError(std::string("cannot create a socket: ") + std::strerror(errno));
    }
    int result;
    do {
        result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        if (auto const peer = foreign_peer(fd_)) {
            ::close(fd_);
            throw refuse(*peer, "is served by");
        }
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
