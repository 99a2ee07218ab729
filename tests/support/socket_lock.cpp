#include "support/socket_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

SocketLock::SocketLock(std::chrono::seconds bound) {
    fd_ = ::open("/tmp/wardlet.sock.test-lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open the socket lock file");
    }
    auto const deadline = std::chrono::steady_clock::now() + bound;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd_);
            throw std::runtime_error("another test kept the monitor's socket too long");
        }
        // flock has no timed form; another process holds it for one test at most.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SocketLock::~SocketLock() {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}
