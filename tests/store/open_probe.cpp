#include "app/startup_error.hpp"
#include "store/event_db.hpp"

#include <grp.h>
#include <unistd.h>

#include <cstring>

// open_probe <dbpath> [--unprivileged]: the second form gives up root first, so that file
// permissions apply even when the tests run as root.
int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    if (argc > 2 && std::strcmp(argv[2], "--unprivileged") == 0 && geteuid() == 0) {
        uid_t const nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
            return 3;
        }
    }
    try {
        EventDB db(argv[1]);
    } catch (StartupError const&) {
        return 1;
    }
    return 0;
}
