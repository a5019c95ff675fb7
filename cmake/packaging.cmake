# Debian package, man page and shell completion.
#
# `cmake --install` puts the man page and the completion beside bin/ and
# share/plotr/; `cpack -G DEB` (see scripts/package) wraps the same files, plus
# the copyright and changelog Debian wants, into plotr_<version>_<arch>.deb.

# The changelog and the manual page name the version too; a release that bumps
# project() must bump them, or the package would contradict itself.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog PLOTR_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT PLOTR_CHANGELOG_HEAD MATCHES "^plotr \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${PLOTR_CHANGELOG_HEAD}', "
                      "not with version ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/man/plotr.1 PLOTR_MAN_TITLE REGEX "^\\.TH ")
if(NOT PLOTR_MAN_TITLE MATCHES "\"plotr ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "man/plotr.1 has '${PLOTR_MAN_TITLE}', not version ${PROJECT_VERSION}")
endif()

# Debian wants these files compressed with -9 and without a timestamp (-n), so
# that two builds of the same tree give the same package.
find_program(PLOTR_GZIP gzip REQUIRED)
set(PLOTR_GZIPPED)
foreach(source man/plotr.1 packaging/changelog README.md)
  get_filename_component(name ${source} NAME)
  set(copy ${CMAKE_BINARY_DIR}/packaging/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${copy}
    COMMAND ${PLOTR_GZIP} -9nf ${copy}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    COMMENT "Compressing ${source}")
  list(APPEND PLOTR_GZIPPED ${copy}.gz)
endforeach()
add_custom_target(plotr_docs ALL DEPENDS ${PLOTR_GZIPPED})

# Directories made on the way get 0755 whatever the umask, as Debian wants.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${CMAKE_BINARY_DIR}/packaging/plotr.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES completions/plotr DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The README over 4 kB compressed, as Debian wants it; the nginx configuration
# it points to as an example, small enough to stay plain.
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
              ${CMAKE_BINARY_DIR}/packaging/README.md.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/nginx-tile-cache.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_PACKAGE_NAME plotr)
set(CPACK_PACKAGE_VENDOR "plotr developers")
set(CPACK_PACKAGE_CONTACT "plotr developers <plotr@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GPX to PNG tool")
set(CPACK_PACKAGE_DESCRIPTION
    "plotr reads a GPX document on standard input and draws its track on a map\n"
    "picture: it chooses the zoom at which the track fits the picture, downloads\n"
    "the slippy-map tiles around it with curl, draws the track with start and\n"
    "end pins and writes a PNG file.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries (SQLite's for -mbtiles too) come from the binary itself; curl
# is run through the shell, and the credit line's font is opened by its path,
# which no linker sees.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "curl, fonts-dejavu-core")
# Names and credits in other scripts and emoji; without them such text draws
# as replacement marks, so they are recommended rather than required (about 140 MB).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-core, fonts-noto-cjk, fonts-symbola")

include(CPack)
