# Install rules: the three public headers, the agent library, the stand-in
# engine beside it, and a CMake package (msglogicexConfig.cmake) through
# which a host project finds them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# A host that links the agent gets the public headers with it.
target_link_libraries(msglogicex INTERFACE msglogic_headers)
set_target_properties(msglogic_headers PROPERTIES EXPORT_NAME headers)

# On Windows the 32-bit and the 64-bit build install into one prefix side by
# side: the DLLs in bin/x86 and bin/x64, the import libraries in lib/x86 and
# lib/x64, one targets file each; the package config picks the one of the
# host's word size. Elsewhere: bin, lib.
set(MSGLOGICEX_PER_ARCH FALSE)
set(msglogicex_bindir ${CMAKE_INSTALL_BINDIR})
set(msglogicex_libdir ${CMAKE_INSTALL_LIBDIR})
set(msglogicex_targets_file msglogicexTargets.cmake)
set(msglogicex_version_arch "")
if(MSGLOGIC_WINDOWS_ARCH)
  set(MSGLOGICEX_PER_ARCH TRUE)
  set(msglogicex_bindir ${CMAKE_INSTALL_BINDIR}/${MSGLOGIC_WINDOWS_ARCH})
  set(msglogicex_libdir ${CMAKE_INSTALL_LIBDIR}/${MSGLOGIC_WINDOWS_ARCH})
  set(msglogicex_targets_file msglogicexTargets-${MSGLOGIC_WINDOWS_ARCH}.cmake)
  # One version file serves both builds; the config checks the word size.
  set(msglogicex_version_arch ARCH_INDEPENDENT)
endif()

install(TARGETS msglogicex msglogic msglogic_headers
  EXPORT msglogicexTargets
  RUNTIME DESTINATION ${msglogicex_bindir}   # the DLLs on Windows
  LIBRARY DESTINATION ${msglogicex_libdir}   # the shared objects elsewhere
  ARCHIVE DESTINATION ${msglogicex_libdir})  # import libraries
if(MSGLOGICEX_MSVC_IMPLIB)
  # msglogicex.lib, for host projects built with Microsoft's tools.
  install(FILES ${MSGLOGICEX_MSVC_IMPLIB} DESTINATION ${msglogicex_libdir})
endif()
install(FILES
  ${PROJECT_SOURCE_DIR}/include/MsgExport.h
  ${PROJECT_SOURCE_DIR}/include/MsgLogic.h
  ${PROJECT_SOURCE_DIR}/include/MsgLogicEx.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/scenarios
  DESTINATION ${CMAKE_INSTALL_DATADIR}/msglogicex)

set(MSGLOGICEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/msglogicex)
install(EXPORT msglogicexTargets NAMESPACE msglogicex:: DESTINATION ${MSGLOGICEX_CMAKE_DIR}
  FILE ${msglogicex_targets_file})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/msglogicexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfig.cmake
  INSTALL_DESTINATION ${MSGLOGICEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ${msglogicex_version_arch})
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfigVersion.cmake
  DESTINATION ${MSGLOGICEX_CMAKE_DIR})

# The package test builds a host against the installed package and runs it:
# natively, or with the cross toolchain and through its emulator (Wine).
if(BUILD_TESTING AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR))
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
endif()
