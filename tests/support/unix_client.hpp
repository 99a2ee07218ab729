#pragma once

#include <string>

// A client of a UNIX-domain stream socket, as the editor extension is to the monitor.
class UnixClient {
public:
    // Connects to `socket_path`; throws std::runtime_error when nobody listens there.
    explicit UnixClient(std::string const& socket_path);
    UnixClient(UnixClient const&) = delete;
    UnixClient& operator=(UnixClient const&) = delete;
    ~UnixClient();

    // Writes every byte of `data` in one or more writes.
    void send(std::string const& data);
    void close();

private:
    int fd_ = -1;
};
