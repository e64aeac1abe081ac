# What makes a release: the Windows programs' resources, the install rules and the packages
# (scripts/package.sh builds them). Only the programs a technician uses are installed; test
# programs and test data never are.
set(QUORVEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# The JSON Schemas of the record line and of the event stream, for station software.
set(QUORVEL_SCHEMAS ${PROJECT_SOURCE_DIR}/docs/schema/quorvel-events.schema.json
  ${PROJECT_SOURCE_DIR}/docs/schema/quorvel-record.schema.json)
set(QUORVEL_PRODUCT_NAME "Quorvel Zambrio")
set(QUORVEL_PACKAGE_MAINTAINER "Quorvel upgrade tool maintainers <quorvel-upgrade@example.com>"
  CACHE STRING "Maintainer named in the Debian package")

# The Debian package's name is the documentation folder's name.
set(CMAKE_INSTALL_DOCDIR share/doc/quorvel-upgrade CACHE PATH "Documentation folder")
include(GNUInstallDirs)
# Folders as a package expects them, whatever the umask of the machine that builds it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/QuorvelWindowsResources.cmake)
  quorvel_windows_resources(ZambrioQUORVEL DESCRIPTION "Quorvel firmware upgrade" DPI_AWARE)
  quorvel_windows_resources(quorvel-upgrade
    DESCRIPTION "Quorvel firmware upgrade, command line")
  quorvel_windows_resources(hex55 DESCRIPTION "Quorvel firmware image converter")

  # The portable zip: the programs side by side with a short guide, nothing to install.
  install(TARGETS ZambrioQUORVEL quorvel-upgrade hex55 RUNTIME DESTINATION .)
  configure_file(${QUORVEL_PACKAGING_DIR}/windows/README.txt.in
    ${PROJECT_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt DESTINATION .)
  install(FILES ${QUORVEL_SCHEMAS} DESTINATION schema)
else()
  install(TARGETS quorvel-upgrade hex55 quorvel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the changelog compressed the Debian way: gzip -9 without a name or
  # time stamp, so that the same sources give the same bytes.
  set(man_pages)
  foreach(program quorvel-upgrade hex55 quorvel-sim)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${page}
      COMMAND gzip -9nf ${page}
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${program}.1
      VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endforeach()
  # string(TIMESTAMP) follows SOURCE_DATE_EPOCH, which scripts/package.sh sets.
  string(TIMESTAMP QUORVEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${QUORVEL_PACKAGING_DIR}/debian/changelog.in
    ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/packaging/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(quorvel_documentation ALL DEPENDS ${man_pages} ${changelog})

  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${QUORVEL_PACKAGING_DIR}/debian/copyright
    ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QUORVEL_SCHEMAS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/schema)
endif()

set(CPACK_PACKAGE_NAME quorvel-upgrade)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for the Quorvel measuring instrument")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-windows-x64)
  set(CPACK_POST_BUILD_SCRIPTS ${QUORVEL_PACKAGING_DIR}/sorted-zip.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVEL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION [[
quorvel-upgrade reprograms a Quorvel handheld measuring instrument over its
serial (optical) link: it converts the firmware image with hex55, orders the
instrument into its loader over Modbus ASCII and sends the image sector by
sector, each one acknowledged by the instrument.
.
quorvel-sim, a simulated instrument on a pseudo-terminal, lets the tools be
tried without an instrument.]])
endif()
include(CPack)
