# cmake -DPROGRAMS="a|b" -P no_time_hook.cmake: fails when a shipped program holds the name
# of the time-divisor variable, which only the test builds may read.
string(REPLACE "|" ";" programs "${PROGRAMS}")
foreach(program IN LISTS programs)
  file(STRINGS "${program}" found REGEX "QUORVEL_TIME_DIVISOR")
  if(found)
    message(FATAL_ERROR "${program} reads the test-only time divisor")
  endif()
endforeach()
message(STATUS "no time hook in: ${PROGRAMS}")
