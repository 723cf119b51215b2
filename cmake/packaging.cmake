# Release packages: a .deb from each Linux build (native or cross, see
# linux-<arch>.cmake) and a .zip from the Windows (MinGW-w64) build, both made
# by CPack from the install rules: the tool, the README and the man page.
set(CPACK_PACKAGE_NAME prorescue)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "prorescue developers")
set(CPACK_PACKAGE_CONTACT "prorescue developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Rebuilds a playable QuickTime movie from a damaged ProRes camera recording")
set(CPACK_PACKAGE_DESCRIPTION
    "prorescue scans a damaged camera .mov as plain bytes for Apple ProRes frames, copies each \
frame unchanged into a new QuickTime movie, and repairs the recording's WAV files with a fresh \
44-byte header. The input files are never changed.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Windows users unpack the zip and run the tool where it lies, so the
  # executable and the README sit at the top of the archive. These rules are
  # left out of a plain `cmake --install`, which keeps its bin/ layout.
  install(TARGETS prorescue RUNTIME DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  install(FILES README.md doc/prorescue.1 DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "prorescue developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # A cross build names its architecture; a native one asks dpkg.
  if(PRORESCUE_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PRORESCUE_DEB_ARCH})
  endif()
  # The real library dependencies when the packaging tool is there to find them.
  find_program(PRORESCUE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(PRORESCUE_STATIC)
    # A static tool needs no library at all.
  elseif(PRORESCUE_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()

include(CPack)
