# Installation and the Debian package of Fenwire Monitor (CPack).
#
# The files generated for the package (icons rendered from the SVG, gzipped
# man pages and changelog) belong to target fenwire_package_data, which is not
# part of the default build: it needs rsvg-convert, which a build for the tests
# has no use for. scripts/package builds it before running cpack.

# A fuzzing build has no programs to install.
if(FENWIRE_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(FENWIRE_PACKAGE_NAME fenwire-monitor)
# The desktop entry, the AppStream component and the icon share one name, as
# software centres find them by it.
set(FENWIRE_APP_ID org.example.FenwireMonitor)
set(fenwire_pkg_src ${CMAKE_CURRENT_LIST_DIR})
set(fenwire_pkg_out ${PROJECT_BINARY_DIR}/packaging)
set(fenwire_pkg_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${FENWIRE_PACKAGE_NAME})
set(fenwire_pkg_icondir ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor)
# Debian 12's udev reads its packaged rules from /lib; /usr/lib/udev is only
# the same directory on merged-/usr systems.
set(fenwire_pkg_udevdir /lib/udev/rules.d)
# Directories the package creates; an unusual umask must not leak into them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Generated files.
set(fenwire_pkg_generated)

# PNG icons are rendered from the SVG at build time so that they cannot drift
# from it.
set(fenwire_pkg_icon_svg ${fenwire_pkg_src}/icons/${FENWIRE_APP_ID}.svg)
set(fenwire_pkg_icon_sizes 48 128 256)
foreach(size IN LISTS fenwire_pkg_icon_sizes)
  set(png ${fenwire_pkg_out}/icons/${size}/${FENWIRE_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${fenwire_pkg_out}/icons/${size}
    COMMAND rsvg-convert --width ${size} --height ${size} --output ${png} ${fenwire_pkg_icon_svg}
    DEPENDS ${fenwire_pkg_icon_svg}
    COMMENT "Rendering the ${size}x${size} icon"
    VERBATIM)
  list(APPEND fenwire_pkg_generated ${png})
  install(FILES ${png} DESTINATION ${fenwire_pkg_icondir}/${size}x${size}/apps)
endforeach()
install(FILES ${fenwire_pkg_icon_svg} DESTINATION ${fenwire_pkg_icondir}/scalable/apps)

# Man pages carry the project version. Debian wants them and the changelog
# compressed at the highest level and without a time stamp (-n), so that the
# same sources give the same package.
set(fenwire_pkg_man_pages rh_monitor.1 rh_poll.1 fenwire-sim.1)
foreach(page IN LISTS fenwire_pkg_man_pages)
  configure_file(${fenwire_pkg_src}/man/${page}.in ${fenwire_pkg_out}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${fenwire_pkg_out}/man/${page}.gz
    COMMAND gzip -9 -n -k -f ${fenwire_pkg_out}/man/${page}
    DEPENDS ${fenwire_pkg_out}/man/${page}
    COMMENT "Compressing man page ${page}"
    VERBATIM)
  list(APPEND fenwire_pkg_generated ${fenwire_pkg_out}/man/${page}.gz)
  install(FILES ${fenwire_pkg_out}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(fenwire_pkg_metainfo ${fenwire_pkg_src}/${FENWIRE_APP_ID}.metainfo.xml)
add_custom_command(OUTPUT ${fenwire_pkg_out}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DCHANGELOG=${fenwire_pkg_src}/changelog
          -DMETAINFO=${fenwire_pkg_metainfo} -P ${fenwire_pkg_src}/check-versions.cmake
  COMMAND ${CMAKE_COMMAND} -E copy ${fenwire_pkg_src}/changelog ${fenwire_pkg_out}/changelog
  COMMAND gzip -9 -n -f ${fenwire_pkg_out}/changelog
  DEPENDS ${fenwire_pkg_src}/changelog ${fenwire_pkg_metainfo} ${fenwire_pkg_src}/check-versions.cmake
  COMMENT "Checking the changelog against version ${PROJECT_VERSION} and compressing it"
  VERBATIM)
list(APPEND fenwire_pkg_generated ${fenwire_pkg_out}/changelog.gz)

add_custom_target(fenwire_package_data DEPENDS ${fenwire_pkg_generated})

install(TARGETS rh_monitor rh_poll fenwire-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${fenwire_pkg_src}/${FENWIRE_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${fenwire_pkg_metainfo} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
install(FILES ${fenwire_pkg_src}/copyright ${fenwire_pkg_out}/changelog.gz DESTINATION ${fenwire_pkg_docdir})
install(FILES ${fenwire_pkg_src}/60-fenwire-monitor.rules DESTINATION ${fenwire_pkg_udevdir})
# Lintian takes the env(1) in front of rh_monitor in the desktop entry for its
# command; the override says why it is there.
install(FILES ${fenwire_pkg_src}/lintian-overrides RENAME ${FENWIRE_PACKAGE_NAME}
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides)
# The bridge's systemd template unit (Debian 12's systemd reads packaged
# units from /lib/systemd/system).
install(FILES ${fenwire_pkg_src}/systemd/rh-poll@.service DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${FENWIRE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Fenwire Monitor developers")
set(CPACK_PACKAGE_CONTACT "Fenwire Monitor developers <fenwire@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor and service tool for Fenwire RS-485 transmitters")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${fenwire_pkg_src}/description.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The windows ask for Arial; Liberation Sans has its metrics, so the digits
# and labels keep their layout.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
