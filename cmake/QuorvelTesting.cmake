# GoogleTest: the system package natively; built from Debian's source package when cross
# compiling for Windows (the tests then run through CMAKE_CROSSCOMPILING_EMULATOR, Wine).
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Third-party code: not held to our warning flags.
  foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -w)
  endforeach()
  # Newer googletest sources define these aliases themselves.
  foreach(target gtest gtest_main gmock)
    if(NOT TARGET GTest::${target})
      add_library(GTest::${target} ALIAS ${target})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# quorvel_add_test(NAME SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [TIMEOUT s])
# Labels in use: "slow" (true protocol timing), "threaded" (run under TSan in CI),
# "wine" (Windows back end, run under Wine), "sim" (needs the simulated instrument).
function(quorvel_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS};wine" TIMEOUT ${T_TIMEOUT})
  else()
    # gtest_discover_tests keeps only the first item of a list-valued property, so several
    # labels travel as one ("sim-threaded"); ctest's -L and the presets' label filters are
    # regular expressions and still match each part. An empty value would shift the
    # property list, so it is only passed when set.
    set(props TIMEOUT ${T_TIMEOUT})
    if(T_LABELS)
      string(JOIN "-" joined_labels ${T_LABELS})
      list(APPEND props LABELS ${joined_labels})
    endif()
    gtest_discover_tests(${name} PROPERTIES ${props} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)
  endif()
endfunction()
