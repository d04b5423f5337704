# Installation and packages: what goes where, the Windows version resource,
# and the CPack settings. Included by the top CMakeLists.txt once the targets
# tarnwick and qvnsim exist.
#
#   Windows build: a ZIP, tarnwick-<version>-win64.zip, holding tarnwick.exe,
#                  qvnsim.exe, README.txt (the manual as plain text with CRLF
#                  line endings, made by tools/readme-text.py), LICENSE.txt
#                  and CHANGELOG.txt.
#   Linux build:   a .deb, tarnwick_<version>_<arch>.deb, installing tarnwick
#                  and qvnsim in /usr/bin, their manual pages (man/*.1.in) in
#                  /usr/share/man/man1, and README.md, CHANGELOG.md,
#                  changelog.gz (Debian's format, made from CHANGELOG.md by
#                  tools/debian-changelog.py) and copyright (the licence) in
#                  /usr/share/doc/tarnwick; and from packaging/debian the
#                  systemd unit tarnwick@.service in /usr/lib/systemd/system,
#                  the conffile /etc/tarnwick/example.conf, and the
#                  maintainer scripts that make the system user tarnwick.
#
# tools/package.sh builds both. The version is the project's, set once in
# the top CMakeLists.txt; it reaches both packages and the exe's resource.

set(TARNWICK_VENDOR "The Tarnwick developers")
# The packages' maintainer, as Debian wants it: a name and an e-mail address.
set(TARNWICK_MAINTAINER "The Tarnwick developers <tarnwick@example.org>"
    CACHE STRING "The packages' maintainer: Name <address>")

# --- the Windows version resource -----------------------------------------
# Explorer's Properties > Details show it: product name, version, description.
if(WIN32)
  enable_language(RC)
  function(tarnwick_version_resource target description)
    set(TARNWICK_RC_NAME ${target})
    set(TARNWICK_RC_DESCRIPTION "${description}")
    set(rc "${CMAKE_BINARY_DIR}/resources/${target}.rc")
    configure_file("${PROJECT_SOURCE_DIR}/app/tarnwick.rc.in" "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
  endfunction()
  tarnwick_version_resource(tarnwick "Tarnwick - PTT from serial-port lines to rigctl servers")
  tarnwick_version_resource(qvnsim "qvnsim - a QVN virtual port for trying Tarnwick")
endif()

# --- installation ---------------------------------------------------------
if(WIN32)
  # Everything side by side in the ZIP's one folder; the texts get an
  # extension that Windows opens.
  set(TARNWICK_BIN_DIR .)
  set(TARNWICK_DOC_DIR .)
  set(TARNWICK_TEXT_SUFFIX .txt)
else()
  include(GNUInstallDirs)
  set(TARNWICK_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(TARNWICK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick)
  set(TARNWICK_TEXT_SUFFIX .md)
endif()

install(TARGETS tarnwick qvnsim RUNTIME DESTINATION ${TARNWICK_BIN_DIR})

# --- documents made at build time (the target tarnwick_docs) --------------
find_package(Python3 3.8 REQUIRED COMPONENTS Interpreter)
set(TARNWICK_DOCS ${CMAKE_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${TARNWICK_DOCS})
if(WIN32)
  add_custom_command(
    OUTPUT ${TARNWICK_DOCS}/README.txt
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/readme-text.py
            ${PROJECT_SOURCE_DIR}/README.md ${TARNWICK_DOCS}/README.txt
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/tools/readme-text.py
    VERBATIM)
  add_custom_target(tarnwick_docs ALL DEPENDS ${TARNWICK_DOCS}/README.txt)
  install(FILES ${TARNWICK_DOCS}/README.txt DESTINATION ${TARNWICK_DOC_DIR})
else()
  # The manual pages carry the version and the date of its release, the
  # newest section of CHANGELOG.md.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                         ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md newest REGEX "^## " LIMIT_COUNT 1)
  string(REGEX REPLACE "^## +[^ ]+ +- +([0-9-]+).*$" "\\1" TARNWICK_RELEASE_DATE "${newest}")
  set(compressed)
  foreach(page tarnwick qvnsim)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${TARNWICK_DOCS}/${page}.1 @ONLY)
    list(APPEND compressed ${TARNWICK_DOCS}/${page}.1.gz)
  endforeach()
  add_custom_command(
    OUTPUT ${TARNWICK_DOCS}/changelog
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/debian-changelog.py
            ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_VERSION} ${TARNWICK_MAINTAINER}
            ${TARNWICK_DOCS}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/tools/debian-changelog.py
    VERBATIM)
  list(APPEND compressed ${TARNWICK_DOCS}/changelog.gz)
  # gzip -9n, as Debian wants: no name and no time stamp in the header.
  foreach(file IN LISTS compressed)
    string(REGEX REPLACE "\\.gz$" "" plain ${file})
    add_custom_command(OUTPUT ${file} COMMAND gzip -9nkf ${plain} DEPENDS ${plain} VERBATIM)
  endforeach()
  add_custom_target(tarnwick_docs ALL DEPENDS ${compressed})
  install(FILES ${TARNWICK_DOCS}/tarnwick.1.gz ${TARNWICK_DOCS}/qvnsim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${TARNWICK_DOCS}/changelog.gz DESTINATION ${TARNWICK_DOC_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TARNWICK_DOC_DIR})
  # The service: a template unit (lintian of Debian 12 takes /lib or
  # /usr/lib; systemd and deb-systemd-helper look in both) and its example
  # settings, a conffile (see CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA below).
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/tarnwick@.service
          DESTINATION lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/example.conf DESTINATION /etc/tarnwick)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${TARNWICK_DOC_DIR}
        RENAME CHANGELOG${TARNWICK_TEXT_SUFFIX})
# The licence: LICENSE.txt on Windows; on Debian the package's copyright
# file, /usr/share/doc/tarnwick/copyright.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${TARNWICK_DOC_DIR} RENAME LICENSE.txt)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${TARNWICK_DOC_DIR} RENAME copyright)
endif()

# --- CPack ----------------------------------------------------------------
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "${TARNWICK_VENDOR}")
set(CPACK_PACKAGE_CONTACT "${TARNWICK_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Tarnwick watches the PTT line of up to four serial ports (QVN virtual\n"
       "ports, or real COM ports whose CTS line is PTT) and sends the Hamlib\n"
       "rigctl set-PTT command, T 1 or T 0, to the rigctl server paired with\n"
       "each port. qvnsim offers a virtual port for trying Tarnwick without QVN.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs link against, found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # rigctld, the rigctl server for a radio without QVN.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS libhamlib-utils)
  # postinst makes the system user tarnwick with adduser; postrm and prerm
  # look after the service. conffiles marks /etc/tarnwick/example.conf,
  # which CPack does not do by itself.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
      ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  # Maintainer scripts 0755, the other control files 0644, as Debian wants.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
