# Header-only libraries from Debian packages (libcli11-dev, nlohmann-json3-dev, ...).
#
# quorvel_header_library(<target> PACKAGE <debian package> DIRS <folder under /usr/include>...)
# makes an INTERFACE target for them. Natively the headers are on the default search path.
# The Windows cross build must not search /usr/include, whose glibc headers would shadow
# MinGW's: it gets a folder in the build tree that links to just the library's folders, added
# as a system directory so that the library's code is not held to our warning flags.
function(quorvel_header_library target)
  cmake_parse_arguments(H "" "PACKAGE" "DIRS" ${ARGN})
  add_library(${target} INTERFACE)
  set(root ${CMAKE_BINARY_DIR}/header-libraries/${target})
  foreach(dir IN LISTS H_DIRS)
    if(NOT IS_DIRECTORY /usr/include/${dir})
      message(FATAL_ERROR "/usr/include/${dir} not found: install ${H_PACKAGE} "
                          "(scripts/bootstrap.sh installs what the build needs)")
    endif()
    if(CMAKE_CROSSCOMPILING)
      file(MAKE_DIRECTORY ${root})
      file(CREATE_LINK /usr/include/${dir} ${root}/${dir} SYMBOLIC)
    endif()
  endforeach()
  if(CMAKE_CROSSCOMPILING)
    target_include_directories(${target} SYSTEM INTERFACE ${root})
  endif()
endfunction()
