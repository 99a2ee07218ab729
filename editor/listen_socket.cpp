#include "editor/listen_socket.hpp"

#include "app/log.hpp"
#include "app/startup_error.hpp"
#include "editor/socket_owner.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// A descriptor that is closed unless released, so that a failed set-up leaks nothing.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd const&) = delete;
    OwnedFd& operator=(OwnedFd const&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

[[noreturn]] void fail(char const* step, std::string const& path, int error) {
    log_line("[VSCodeListener] {} failed for {}: {}", step, path, std::strerror(error));
    throw StartupError(std::string("editor socket: ") + step + " failed");
}

// Connections the system holds while the accept loop is busy or short of descriptors.
constexpr int kBacklog = 64;

sockaddr_un address_of(std::string const& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// Whether a server accepts connections at `address`. Non-blocking, so that a live server with a
// full backlog answers at once (EAGAIN) instead of holding up the start.
bool live_server_at(sockaddr_un const& address) {
    OwnedFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) {
        return false;
    }
    int result;
    do {
        result =
            ::connect(probe.get(), reinterpret_cast<sockaddr const*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

}  // namespace

ListenSocket open_listen_socket(std::string const& requested_path) {
    ListenSocket result;
    // A socket address holds the path less its last byte: a longer path is cut to that size.
    result.path = requested_path.substr(0, sizeof(sockaddr_un::sun_path) - 1);
    std::string const& path = result.path;
    sockaddr_un const address = address_of(path);

    OwnedFd server(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (server.get() < 0) {
        fail("socket", path, errno);
    }
    // Checked before anything else: another user's socket is neither probed, served nor removed.
    if (auto const owner = foreign_owner(path)) {
        log_line(
            "[VSCodeListener] {} belongs to uid {}, not to this user (uid {}): not starting; "
            "{}",
            path, *owner, ::geteuid(), OWN_SOCKET_HINT);
        throw StartupError("editor socket: another user's");
    }
    if (live_server_at(address)) {
        log_line("[VSCodeListener] another monitor is already serving {}: not starting", path);
        throw StartupError("editor socket: already served");
    }
    // Nobody answers: a socket left at the path is an earlier run's. Anything else there is not
    // the monitor's to remove.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            log_line("[VSCodeListener] {} exists and is not a socket: not starting; {}", path,
                     OWN_SOCKET_HINT);
            throw StartupError("editor socket: not a socket");
        }
        ::unlink(path.c_str());
    }
    if (::bind(server.get(), reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) {
        fail("bind", path, errno);
    }
    struct stat bound {};
    if (::lstat(path.c_str(), &bound) != 0) {
        fail("stat", path, errno);
    }
    result.device = bound.st_dev;
    result.inode = bound.st_ino;
    // Undone on any later failure: the file is ours and serves nobody.
    auto fail_bound = [&](char const* step) {
        int const error = errno;
        remove_if_same_socket(path, result.device, result.inode);
        fail(step, path, error);
    };
    // Nobody can connect before listen(), so the socket is never open to other users.
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0) {
        fail_bound("chmod");
    }
    if (::listen(server.get(), kBacklog) != 0) {
        fail_bound("listen");
    }
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        fail_bound("pipe");
    }
    OwnedFd wake_read(pipe_ends[0]);
    OwnedFd wake_write(pipe_ends[1]);
    int const flags = ::fcntl(wake_write.get(), F_GETFL);
    if (flags < 0 || ::fcntl(wake_write.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        fail_bound("pipe");
    }
    result.server_fd = server.release();
    result.wake_read = wake_read.release();
    result.wake_write = wake_write.release();
    return result;
}

bool remove_if_same_socket(std::string const& path, dev_t device, ino_t inode) {
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0 || !S_ISSOCK(now.st_mode) || now.st_dev != device ||
        now.st_ino != inode) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}
