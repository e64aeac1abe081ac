# Tests of the simulated instrument (POSIX only; the simulator is not built for Windows).
if(TARGET quorvel-sim)
  quorvel_add_test(sim_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_protocol_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/sim_process_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/sim_test_support.cpp
    LIBS quorvel_sim_lib quorvel_test_support quorvel_test_helpers
    LABELS sim)
  target_compile_definitions(sim_test PRIVATE QUORVEL_SIM_PATH="$<TARGET_FILE:quorvel-sim>")
  add_dependencies(sim_test quorvel-sim)

  quorvel_add_test(sim_inprocess_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_inprocess_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/sim_test_support.cpp
    LIBS quorvel_sim_lib quorvel_test_support quorvel_test_helpers
    LABELS threaded)
  target_compile_definitions(sim_inprocess_test
    PRIVATE QUORVEL_SIM_PATH="$<TARGET_FILE:quorvel-sim>")

  # The dump must read back with the converter's own Intel HEX parser.
  if(TARGET hex55_lib)
    quorvel_add_test(sim_dump_interop_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_dump_interop_test.cpp
      LIBS quorvel_sim_lib hex55_lib
      LABELS sim)
  endif()
endif()
