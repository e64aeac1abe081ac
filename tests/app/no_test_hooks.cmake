# cmake -DPROGRAMS="a|b" -P no_test_hooks.cmake: fails when a shipped program holds the name
# of a variable that only the test builds may read (the time divisor, the stalled file).
string(REPLACE "|" ";" programs "${PROGRAMS}")
foreach(program IN LISTS programs)
  file(STRINGS "${program}" found REGEX "QUORVEL_TIME_DIVISOR|QUORVEL_TEST_STALLED_FILE")
  if(found)
    message(FATAL_ERROR "${program} reads a test-only variable: ${found}")
  endif()
endforeach()
message(STATUS "no test hook in: ${PROGRAMS}")
