#pragma once

#include <sys/types.h>

#include <string>

// The editor socket, listening, with the pipe that wakes its accept loop.
struct ListenSocket {
    std::string path;     // where the socket file is (the path as it fits a socket address)
    int server_fd = -1;   // listening, backlog 64
    int wake_read = -1;   // watched beside server_fd
    int wake_write = -1;  // non-blocking: a wake-up never blocks its caller
    dev_t device = 0;     // identity of the socket file right after binding
    ino_t inode = 0;
};

// Serves `path`: refuses when the file there belongs to another user, when another live server
// answers there or when it is not a socket; removes a stale socket of this user's, binds,
// restricts the socket file to its owner (mode 0600, before anyone can connect), listens and
// creates the wake pipe. A failing step is logged with the step, the path and the system's error
// text, everything already made is undone, and StartupError is thrown.
ListenSocket open_listen_socket(std::string const& path);

// Removes the file at `path` only when it is still the socket file that was bound there.
// True when it was removed.
bool remove_if_same_socket(std::string const& path, dev_t device, ino_t inode);
