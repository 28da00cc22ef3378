# What the Windows builds share.
#
# MSGLOGIC_WINDOWS_ARCH: x86 or x64, as Windows names the two (install
# folders bin/x86 and bin/x64, the linkers' /machine); empty elsewhere.
#
#   msglogic_version_info(target file_name description)
#
# gives a DLL its version information: a VERSIONINFO resource, which
# Explorer's Properties and installers' version checks read, with the
# project's version as file and product version. Does nothing elsewhere.
set(MSGLOGIC_WINDOWS_ARCH "")
if(WIN32)
  enable_language(RC)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(MSGLOGIC_WINDOWS_ARCH x64)
  else()
    set(MSGLOGIC_WINDOWS_ARCH x86)
  endif()
endif()

function(msglogic_version_info target file_name description)
  if(NOT WIN32)
    return()
  endif()
  set(MSGLOGIC_RC_FILE_NAME ${file_name})
  set(MSGLOGIC_RC_DESCRIPTION "${description} (${MSGLOGIC_WINDOWS_ARCH})")
  get_filename_component(MSGLOGIC_RC_INTERNAL_NAME ${file_name} NAME_WE)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/platform/win32/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
