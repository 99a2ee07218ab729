#include "support/unix_client.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

UnixClient::UnixClient(std::string const& socket_path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::string const reason = std::strerror(errno);
        close();
        throw std::runtime_error("cannot connect to " + socket_path + ": " + reason);
    }
}

UnixClient::~UnixClient() {
    close();
}

void UnixClient::send(std::string const& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t const count = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
        }
        sent += static_cast<std::size_t>(count);
    }
}

void UnixClient::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}
