# A Debian package through CPack: cpack -G DEB in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr -DTEMPIX_DEBIAN_DOCS=ON (scripts/package.sh does it).
# The dependencies are computed from the binaries by dpkg-shlibdeps.

if(TEMPIX_DEBIAN_DOCS)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/tempix)
  set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    COMMENT "Debian changelog")
  add_custom_target(debian_changelog ALL DEPENDS ${changelog})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${changelog} DESTINATION ${docdir})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tempix)
set(CPACK_PACKAGE_VENDOR "Quillfen")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tempix maintainers <tempix@quillfen.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tempo, cue times and loudness for a music collection")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tempix maintainers <tempix@quillfen.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quillfen.com/tempix/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, so not found by dpkg-shlibdeps: xdg-open (the Console opens the
# log with it), Qt's platform plugins (the window on X11 and Wayland) and its
# SVG image plugin (the icon).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary above it as the synopsis,
# indents each line and turns an empty line into " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tempix analyses the MP3, M4A, FLAC, Ogg Vorbis and Opus files of a folder,
of a music library file or of one of its playlists: it detects the tempo
and writes it as BPM, finds start and stop times that skip silence, and
computes a volume adjustment that evens out the loudness between tracks.
Results go into the tags and into the library file; tags of other programs
and the audio are kept byte for byte.

This package holds the desktop program tempix and the terminal program
tempix-cli.")
include(CPack)
