# What `cmake --install` puts under the prefix, and the Debian package made from it by CPack.
include(GNUInstallDirs)
# Installing, and so packaging, takes the programs as they are built; it does not build the tests
# and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Every installed program, built by one command: `cmake --build <dir> --target programs`.
add_custom_target(programs)
add_dependencies(programs wardlet wardlet-track wardlet-send wardlet-report)

install(TARGETS wardlet wardlet-track wardlet-send wardlet-report
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The editor extension's package, when scripts/package-extension.sh has built it.
install(CODE "set(vsix \"${CMAKE_SOURCE_DIR}/extension/wardlet-watcher-0.0.1.vsix\")
if(EXISTS \"\${vsix}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/wardlet\"
         TYPE FILE FILES \"\${vsix}\")
endif()")

# The systemd user unit template names the installed monitor by its absolute path, which is
# known only when installing: `cmake --install --prefix` may choose another prefix.
install(CODE "set(WARDLET_UNIT_TEMPLATE \"${CMAKE_SOURCE_DIR}/tools/wardlet@.service.in\")
set(WARDLET_UNIT_STAGING \"${CMAKE_BINARY_DIR}/generated\")
set(WARDLET_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_unit.cmake)

# The Debian package: the programs in /usr/bin, the unit in /usr/lib/systemd/user, the README in
# /usr/share/doc/wardlet. Its dependencies are the shared libraries the programs link, as
# dpkg-shlibdeps finds them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wardlet)
set(CPACK_PACKAGE_VENDOR "Wardlet")
set(CPACK_PACKAGE_CONTACT "Wardlet developers <wardlet@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "records how the files of a project are written")
set(CPACK_PACKAGE_DESCRIPTION
    "Wardlet is a background monitor that receives the editor's change messages\nand watches \
the tracked files of one project, flags internal copies and content\nthat never came through \
the editor, and stores every change in a SQLite\ndatabase for later review.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install scripts see the final prefix, so that the unit names /usr/bin/wardlet.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/wardlet")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
