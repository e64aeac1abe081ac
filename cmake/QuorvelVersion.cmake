# The version set in project() reaches the programs through one generated header,
# quorvel_version.h, found on the include path of every target.
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvel_version.h.in
  ${PROJECT_BINARY_DIR}/generated/quorvel_version.h @ONLY)
include_directories(${PROJECT_BINARY_DIR}/generated)
