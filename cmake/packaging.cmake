# Installation and packages.
#
#   cmake --install build --prefix /usr     the program, its examples, docs and man page
#   (cd build && cpack -G DEB)              quillet_<version>_<arch>.deb
#   (cd build-windows && cpack -G ZIP)      quillet-<version>-win64.zip
#
# <version> is QUILLET_VERSION, the version the program prints (1.0w: a
# valid Debian upstream version, later than 1.0).
#
# On Linux the layout follows GNUInstallDirs, except for the program itself:
# web servers on Debian run CGI programs from /usr/lib/cgi-bin, which is not
# a multiarch library directory, so it has a setting of its own. The ini
# and log files belong beside the program; none is installed there, since
# the site owner writes the ini file (from the example) and decides who may
# write the log.

# Installing and packaging take the program as built; they do not build the
# tests first (build, then install or run cpack).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(QUILLET_EXAMPLE_FILES
  ${PROJECT_SOURCE_DIR}/examples/form.html
  ${PROJECT_SOURCE_DIR}/examples/fetch-form.html
  ${PROJECT_SOURCE_DIR}/examples/quillet.ini
  ${PROJECT_SOURCE_DIR}/examples/success.html
  ${PROJECT_SOURCE_DIR}/examples/failure.html
  ${PROJECT_SOURCE_DIR}/examples/thanks.html)
set(QUILLET_DOC_FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/docs/install.md)

if(WIN32)
  # The zip unpacks into one folder: quillet.exe, the docs and the examples,
  # ready to be copied where IIS runs CGI programs.
  install(TARGETS quillet RUNTIME DESTINATION .)
  install(FILES ${QUILLET_DOC_FILES} DESTINATION .)
  install(FILES ${QUILLET_EXAMPLE_FILES} DESTINATION examples)
else()
  set(QUILLET_INSTALL_CGIDIR "lib/cgi-bin" CACHE STRING
    "Where the program is installed, relative to the prefix (the web server's CGI directory)")
  install(TARGETS quillet RUNTIME DESTINATION ${QUILLET_INSTALL_CGIDIR})
  install(FILES ${QUILLET_DOC_FILES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QUILLET_EXAMPLE_FILES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # Debian keeps man pages compressed; the page is compressed whenever the
  # build is configured, and again when it changes.
  set(QUILLET_MAN_SOURCE ${PROJECT_SOURCE_DIR}/docs/quillet.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLET_MAN_SOURCE})
  find_program(QUILLET_GZIP gzip)
  set(QUILLET_MAN_PAGE ${QUILLET_MAN_SOURCE})
  if(QUILLET_GZIP)
    execute_process(COMMAND ${QUILLET_GZIP} -9 -n -c ${QUILLET_MAN_SOURCE}
      OUTPUT_FILE ${PROJECT_BINARY_DIR}/quillet.1.gz RESULT_VARIABLE quillet_gzip_status)
    if(quillet_gzip_status EQUAL 0)
      set(QUILLET_MAN_PAGE ${PROJECT_BINARY_DIR}/quillet.1.gz)
    endif()
  endif()
  install(FILES ${QUILLET_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "The quillet developers")
set(CPACK_PACKAGE_CONTACT "The quillet developers <quillet@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${QUILLET_VERSION}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME "quillet-${QUILLET_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libssl.so.3 is loaded when a delivery asks for TLS, not linked, so
  # dpkg-shlibdeps cannot see it: it is named here (Debian 13 calls the
  # package libssl3t64). CPack adds what dpkg-shlibdeps finds.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0) | libssl3t64")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "httpd-cgi, mail-transport-agent")
  # The control file's synopsis is the summary above; this is the rest.
  set(CPACK_PACKAGE_DESCRIPTION "A web server runs quillet as a CGI program when a visitor submits an HTML \
form: it decodes the form, reads the ini file beside the program, composes \
one e-mail from the ini file's header and body lines and the submitted \
values, delivers it over SMTP to the configured mail server, and answers the \
visitor with the configured success or failure page. Every step is logged in \
a log file beside the program.

The program is installed as /usr/lib/cgi-bin/quillet; an example contact \
form with its ini file and reply pages is in /usr/share/doc/quillet/examples.")
endif()

include(CPack)
