# CPack: a Debian package on Linux, a ZIP of the deliverables from the Windows cross build.

set(CPACK_PACKAGE_NAME velkin)
set(CPACK_PACKAGE_VENDOR "Velkin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sound preparation and flash programming for the Velkin playback unit")
set(CPACK_PACKAGE_DESCRIPTION
    "Encoders for the unit's 12-bit PCM and 4-bit ADPCM code files, a WAV rate converter, the\n\
device access library and the VelkinUtils console that drives them, with velkin-emu for\n\
virtual devices and velkin-decode to listen to code files.")
set(CPACK_PACKAGE_CONTACT "Velkin developers <velkin@localhost>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # One archive with the deliverables and what a C program needs to link against them; the
  # development tools and the CMake/pkg-config files stay out.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Runtime Development)
  if(VELKIN_WIN32_I686)
    set(CPACK_PACKAGE_FILE_NAME velkin-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME velkin-${PROJECT_VERSION}-win64)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  # The shared-library dependencies (libc, libstdc++, libudev) come from dpkg-shlibdeps; the
  # rule is only read by udev, which the package works without (virtual devices, encoders).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
  # The maintainer scripts only ask a running udev to reread its rules.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
                                         ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
