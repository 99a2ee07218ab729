#pragma once

#include <chrono>

// Holds an exclusive lock on a file beside the monitor's fixed socket path, so that runs of the
// real monitor from different test processes (or checkouts) on one machine take turns.
class SocketLock {
public:
    explicit SocketLock(std::chrono::seconds bound = std::chrono::seconds(300));
    SocketLock(SocketLock const&) = delete;
    SocketLock& operator=(SocketLock const&) = delete;
    ~SocketLock();

private:
    int fd_ = -1;
};
