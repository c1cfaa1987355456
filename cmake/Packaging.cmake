# Every CPack setting lives here. `cmake --build --preset release --target package`
# writes the package to <build>/packages/: a Debian package on Linux;
# `--preset windows` writes the Windows zip there.

set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUORVEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for a USBTMC digital multimeter")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvel finds a digital multimeter attached over USB as a USBTMC instrument,
shows its firmware versions and serial number, checks a firmware image (.bin)
or package (.pak) against it and sends the update in small, paced frames. A
wrong or damaged file never reaches the meter, and a failed transfer always
says so.

The package holds the desktop program quorvel, the command-line program
quorvel-cli, a simulated meter to try both without hardware, and a udev rule
that lets the user at the seat open the meter without root.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)  # the programs ship without their debugging symbols
set(CPACK_SOURCE_GENERATOR "")

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  # The install runs with the final prefix (/usr) and a staging DESTDIR, so the
  # paths written into the man pages at install time are the installed ones.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quorvel_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVEL_PACKAGE_MAINTAINER}")
  # Proprietary software belongs to the non-free area, whichever archive carries it.
  set(CPACK_DEBIAN_PACKAGE_SECTION non-free/electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Library dependencies come from the binaries (dpkg-shlibdeps). Qt's platform
  # plugins are loaded at run time, so no binary names their package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  # postinst and postrm make udev reload its rules; the rule itself is a
  # packaged file, so removing the package removes it.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/resources/linux/debian/postinst
      ${PROJECT_SOURCE_DIR}/resources/linux/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
elseif(WIN32)
  # A zip holding quorvel.exe and quorvel-cli.exe (each one self-contained
  # file), the README and the licence, in one folder named after the release.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
endif()

include(CPack)
