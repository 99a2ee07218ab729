#include "editor/socket_owner.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<uid_t> foreign_owner(std::string const& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || status.st_uid == ::geteuid()) {
        return std::nullopt;
    }
    return status.st_uid;
}

std::optional<uid_t> foreign_peer(int fd) {
#ifdef SO_PEERCRED
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
        credentials.uid != ::geteuid()) {
        return credentials.uid;
    }
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(fd, &uid, &gid) == 0 && uid != ::geteuid()) {
        return uid;
    }
#endif
    return std::nullopt;
}
