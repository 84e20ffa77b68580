# cmake -DVERSION=... -DCHANGELOG=... -DMETAINFO=... -P check-versions.cmake
#
# The package's version comes from the project; the changelog and the
# AppStream release list are written by hand. A package whose changelog does
# not name its own version is refused by dpkg tooling and misleads users, so
# building the package stops until both files have an entry for it.
file(STRINGS "${CHANGELOG}" first LIMIT_COUNT 1)
if(NOT first MATCHES "^fenwire-monitor \\(([^)]+)\\)")
  message(FATAL_ERROR "${CHANGELOG}: the first line is not a changelog entry: ${first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "${CHANGELOG}: the newest entry is ${CMAKE_MATCH_1}, the project is ${VERSION}: "
                      "add an entry for ${VERSION}")
endif()
file(READ "${METAINFO}" metainfo)
if(NOT metainfo MATCHES "<release version=\"([^\"]+)\"")
  message(FATAL_ERROR "${METAINFO}: no <release> entry")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "${METAINFO}: the newest release is ${CMAKE_MATCH_1}, the project is ${VERSION}: "
                      "add a <release> for ${VERSION}")
endif()
