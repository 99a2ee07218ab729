# Installs the systemd user unit template with the installed monitor's absolute path in it.
# systemd looks for user units in <prefix>/lib/systemd/user for /usr and /usr/local, and in
# <prefix>/share/systemd/user for /usr, /usr/local and ~/.local.
set(unit_dir "${CMAKE_INSTALL_PREFIX}/share/systemd/user")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir "/usr/lib/systemd/user")
endif()
file(READ "${WARDLET_UNIT_TEMPLATE}" unit)
string(REPLACE "@WARDLET_BIN@" "${CMAKE_INSTALL_PREFIX}/${WARDLET_BINDIR}/wardlet" unit "${unit}")
# One staging folder per destination, so that installs into several prefixes at once do not meet.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(staged "${WARDLET_UNIT_STAGING}/unit-${destination}/wardlet@.service")
file(WRITE "${staged}" "${unit}")
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${staged}")
