# quorvel_windows_resources(TARGET DESCRIPTION text [DPI_AWARE])
# Embeds into a Windows program an application manifest (runs as invoker, Windows 7 to 11,
# Common Controls 6, and with DPI_AWARE crisp dialogs on scaled displays) and a version
# resource, both filled from the project's version.
set(QUORVEL_WINDOWS_TEMPLATES ${CMAKE_CURRENT_LIST_DIR}/../packaging/windows)

# Per-monitor (v2) where Windows 10 offers it, which rescales the dialogs when they move
# to a screen of another scale; system-wide awareness on older versions.
set(QUORVEL_DPI_SETTINGS [[
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, System</dpiAwareness>
    </windowsSettings>
  </application>
]])

function(quorvel_windows_resources target)
  cmake_parse_arguments(R "DPI_AWARE" "DESCRIPTION" "" ${ARGN})
  set(QUORVEL_RC_NAME ${target})
  set(QUORVEL_RC_FILE_NAME ${target}${CMAKE_EXECUTABLE_SUFFIX})
  set(QUORVEL_RC_DESCRIPTION ${R_DESCRIPTION})
  set(QUORVEL_RC_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
  set(QUORVEL_RC_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},0,0)
  set(QUORVEL_RC_WINDOWS_SETTINGS "")
  if(R_DPI_AWARE)
    set(QUORVEL_RC_WINDOWS_SETTINGS ${QUORVEL_DPI_SETTINGS})
  endif()
  set(dir ${PROJECT_BINARY_DIR}/windows-resources/${target})
  set(QUORVEL_RC_MANIFEST ${dir}/${QUORVEL_RC_FILE_NAME}.manifest)
  configure_file(${QUORVEL_WINDOWS_TEMPLATES}/program.manifest.in ${QUORVEL_RC_MANIFEST} @ONLY)
  configure_file(${QUORVEL_WINDOWS_TEMPLATES}/program.rc.in ${dir}/program.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/program.rc)
  set_property(SOURCE ${dir}/program.rc TARGET_DIRECTORY ${target}
    APPEND PROPERTY OBJECT_DEPENDS ${QUORVEL_RC_MANIFEST})
endfunction()
