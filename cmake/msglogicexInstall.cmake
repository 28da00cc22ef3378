# Install rules: the three public headers, the agent library, the stand-in
# engine beside it, and a CMake package (msglogicexConfig.cmake) through
# which a host project finds them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# A host that links the agent gets the public headers with it.
target_link_libraries(msglogicex INTERFACE msglogic_headers)
set_target_properties(msglogic_headers PROPERTIES EXPORT_NAME headers)

install(TARGETS msglogicex msglogic msglogic_headers
  EXPORT msglogicexTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}   # the DLLs on Windows
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}   # the shared objects elsewhere
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})  # import libraries
if(MSGLOGICEX_MSVC_IMPLIB)
  # msglogicex.lib, for host projects built with Microsoft's tools: beside the DLL.
  install(FILES ${MSGLOGICEX_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES
  ${PROJECT_SOURCE_DIR}/include/MsgExport.h
  ${PROJECT_SOURCE_DIR}/include/MsgLogic.h
  ${PROJECT_SOURCE_DIR}/include/MsgLogicEx.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/scenarios
  DESTINATION ${CMAKE_INSTALL_DATADIR}/msglogicex)

set(MSGLOGICEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/msglogicex)
install(EXPORT msglogicexTargets NAMESPACE msglogicex:: DESTINATION ${MSGLOGICEX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/msglogicexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfig.cmake
  INSTALL_DESTINATION ${MSGLOGICEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/msglogicexConfigVersion.cmake
  DESTINATION ${MSGLOGICEX_CMAKE_DIR})

# The package test builds a host against the installed package and runs it:
# natively, or with the cross toolchain and through its emulator (Wine).
if(BUILD_TESTING AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR))
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
endif()
