# Installation (cmake --install) and the Debian package (cpack).
include(GNUInstallDirs)

install(TARGETS ratefold RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The man page, gzip-compressed as Debian installs man pages when gzip is at
# hand (-n: no name or time stamp, so the package builds the same each time).
set(RATEFOLD_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/ratefold.1)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  set(RATEFOLD_MAN_PAGE ${PROJECT_BINARY_DIR}/man/ratefold.1.gz)
  add_custom_command(
    OUTPUT ${RATEFOLD_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${RATEFOLD_MAN_SOURCE} ${PROJECT_BINARY_DIR}/man/ratefold.1
    COMMAND ${GZIP_PROGRAM} -9 -n -f ${PROJECT_BINARY_DIR}/man/ratefold.1
    DEPENDS ${RATEFOLD_MAN_SOURCE}
    VERBATIM)
  add_custom_target(ratefold_man_page ALL DEPENDS ${RATEFOLD_MAN_PAGE})
else()
  set(RATEFOLD_MAN_PAGE ${RATEFOLD_MAN_SOURCE})
endif()
install(FILES ${RATEFOLD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package, on Linux.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(RATEFOLD_MAINTAINER "ratefold maintainers <maintainers@users.noreply.c-seed-4c515375.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ratefold)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${RATEFOLD_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "show MPEG-2 video streams at another rate by soft pulldown, or take it off")
set(CPACK_PACKAGE_DESCRIPTION
    "ratefold rewrites MPEG-2 video elementary streams coded at 23.976 or 24 frames\n\
per second so that decoders display them at 29.97 or 30 frames per second,\n\
interlaced, by 3:2 pulldown. Only header bits are changed in place: the\n\
sequence header's frame rate, each frame picture's top_field_first and\n\
repeat_first_field flags, and the GOP time codes. No picture is coded again\n\
and the output has the same length as the input. It also makes other\n\
cadences (film on a PAL disc at 25 fps, a 25 fps programme at 29.97, 720p\n\
film at 59.94 by repeated frames), takes soft pulldown off again, describes\n\
a stream as a decoder will show it, and works in a pipeline.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RATEFOLD_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binary links (libc6, libstdc++6, libgcc-s1) with the
# versions it needs, as dpkg-shlibdeps (from dpkg-dev) reads them off it.
find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: the package's dependencies carry no versions")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
