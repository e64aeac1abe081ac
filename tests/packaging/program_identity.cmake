# A shipped program tells its version, and its manual page documents every long option its
# --help lists. Run as a test:
#   cmake -DPROGRAM=path -DNAME=name -DVERSION=x.y [-DMAN_PAGE=page.1] [-DEMULATOR=wine]
#         -P program_identity.cmake
function(run_program option output)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${option}
    OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NAME} ${option} ended with ${status}: ${errors}")
  endif()
  string(REPLACE "\r" "" text "${text}")
  set(${output} "${text}" PARENT_SCOPE)
endfunction()

run_program(--version version_text)
if(NOT version_text STREQUAL "${NAME} version ${VERSION}\n")
  message(FATAL_ERROR "${NAME} --version printed '${version_text}', not '${NAME} version ${VERSION}'")
endif()

if(MAN_PAGE)
  run_program(--help help_text)
  file(READ ${MAN_PAGE} page)
  string(REPLACE "\\-" "-" page "${page}")  # roff's escaped hyphens
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*" options "${help_text}")
  list(REMOVE_DUPLICATES options)
  foreach(option ${options})
    if(NOT page MATCHES "${option}([^a-z0-9-]|$)")
      message(SEND_ERROR "${MAN_PAGE} does not document ${option}")
    endif()
  endforeach()
endif()
