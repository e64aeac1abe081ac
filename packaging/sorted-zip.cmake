# Run by CPack once it has written the zip: writes the archive again with Info-ZIP, its
# entries in name order, without the extra fields that would record owners and access
# times, and with the time of SOURCE_DATE_EPOCH (when set), so that the same files always
# give the same bytes, whatever order the file system lists the staging folder in.
get_filename_component(parent ${CPACK_TEMPORARY_DIRECTORY} DIRECTORY)
file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE ${parent} ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT entries)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH} ${entries}
    WORKING_DIRECTORY ${parent} COMMAND_ERROR_IS_FATAL ANY)
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE ${package})
  execute_process(COMMAND zip -X -D -q ${package} ${entries}
    WORKING_DIRECTORY ${parent} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
