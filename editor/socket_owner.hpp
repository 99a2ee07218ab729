#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// Who owns the editor socket. On a shared machine another user can create the socket path first;
// neither the monitor nor a client may then use it, or typed text reaches a stranger.

// The uid owning the file at `path` itself (a symlink is not followed) when it is not this
// process's effective uid; nothing when the file is ours or does not exist.
std::optional<uid_t> foreign_owner(std::string const& path);

// The uid of the process at the other end of the connected UNIX socket `fd` when it is not this
// process's effective uid; nothing when it is ours or the system cannot say.
std::optional<uid_t> foreign_peer(int fd);

// The way out, said in every refusal: the monitor and its clients agree on another path.
inline constexpr char const* OWN_SOCKET_HINT =
    "remove it if it is yours to remove, or use a path of your own with --socket PATH for the "
    "monitor and wardlet-send and the setting wardlet.socketPath in the editor";
