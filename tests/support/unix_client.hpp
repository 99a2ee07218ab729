#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

// A client of a UNIX-domain stream socket, as the editor extension is to the monitor.
class UnixClient {
public:
    // Connects to `socket_path`; throws std::runtime_error when nobody listens there.
    explicit UnixClient(std::string const& socket_path)
        : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            throw std::runtime_error("cannot connect to " + socket_path);
        }
    }
    UnixClient(UnixClient const&) = delete;
    UnixClient& operator=(UnixClient const&) = delete;
    ~UnixClient() { ::close(fd_); }

    // Writes every byte of `data`; throws std::runtime_error when the peer has gone.
    void send(std::string const& data) {
        for (std::size_t sent = 0; sent < data.size();) {
            ssize_t const count = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno != EINTR) {
                throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
            }
            sent += static_cast<std::size_t>(count < 0 ? 0 : count);
        }
    }

private:
    int fd_;
};
