# What `cmake --install` puts where, and the packages `cpack` makes from it:
# a Debian package on Linux, a .zip on Windows. Included at the end of the
# top CMakeLists.txt; needs the target `uniqcopy`.

include(GNUInstallDirs)

set(UNIQCOPY_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")
set(UNIQCOPY_EXAMPLES
    "${UNIQCOPY_SOURCE_ROOT}/examples/colours.txt"
    "${UNIQCOPY_SOURCE_ROOT}/examples/backup.log"
    "${UNIQCOPY_SOURCE_ROOT}/examples/shopping-crlf.txt")
set(UNIQCOPY_README "${UNIQCOPY_SOURCE_ROOT}/README.md")
set(UNIQCOPY_MANPAGE "${UNIQCOPY_SOURCE_ROOT}/doc/uniqcopy.1")

if(WIN32)
  # One folder to unpack anywhere: the program, a README and the examples.
  install(TARGETS uniqcopy RUNTIME DESTINATION .)
  # Windows editors expect CR LF; the README is rewritten with them.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${UNIQCOPY_README}")
  file(READ "${UNIQCOPY_README}" readme_text)
  string(REPLACE "\r\n" "\n" readme_text "${readme_text}")
  string(REPLACE "\n" "\r\n" readme_text "${readme_text}")
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/README.txt" "${readme_text}")
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/README.txt" DESTINATION .)
  install(FILES ${UNIQCOPY_EXAMPLES} DESTINATION examples)
else()
  install(TARGETS uniqcopy RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  # Debian installs manual pages compressed with `gzip -9n` (-n: no name or
  # time stamp inside, so the package is the same on every build).
  find_program(UNIQCOPY_GZIP gzip)
  if(UNIQCOPY_GZIP)
    set(manpage_gz "${CMAKE_CURRENT_BINARY_DIR}/uniqcopy.1.gz")
    add_custom_command(
      OUTPUT "${manpage_gz}"
      COMMAND "${UNIQCOPY_GZIP}" -9nc "${UNIQCOPY_MANPAGE}" > "${manpage_gz}"
      DEPENDS "${UNIQCOPY_MANPAGE}"
      COMMENT "Compressing the manual page"
      VERBATIM)
    add_custom_target(uniqcopy_manpage ALL DEPENDS "${manpage_gz}")
    install(FILES "${manpage_gz}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  else()
    install(FILES "${UNIQCOPY_MANPAGE}"
            DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  endif()
  install(FILES "${UNIQCOPY_README}" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
  install(FILES ${UNIQCOPY_EXAMPLES}
          DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")
endif()

set(UNIQCOPY_PACKAGE_CONTACT "uniqcopy maintainers <maintainers@uniqcopy.invalid>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME uniqcopy)
set(CPACK_PACKAGE_VENDOR "uniqcopy maintainers")
set(CPACK_PACKAGE_CONTACT "${UNIQCOPY_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Debian shows the first lines in package lists: say what it is, then how.
# Debian wants lines of at most 80 characters; an empty line separates
# paragraphs.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "uniqcopy asks for the names of an input and an output text file and\n"
  "copies the input's lines into the output, leaving out every line that\n"
  "the output already holds. The result is the input without its repeated\n"
  "lines: the first occurrence of each line is kept, in the input's order,\n"
  "whether or not the repeats stand next to each other.\n"
  "\n"
  "The output file is the program's only memory of the lines written, so\n"
  "its memory use is fixed, while its time grows with the number of lines\n"
  "times the number of distinct lines.")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "uniqcopy-${PROJECT_VERSION}-windows-x86_64")
  # uniqcopy.exe and README.txt stand at the top of the zip.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: is worked out by dpkg-shlibdeps (package dpkg-dev) from the
  # libraries the program links, the C++ runtime among them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
