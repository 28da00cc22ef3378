# cmake -DBUILD_DIR=... -DHOST_SOURCE=... -DWORK_DIR=... -DGENERATOR=...
#       -DCXX=... -DCXX_FLAGS=... -DLINK_FLAGS=... -P run_package_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(header MsgExport.h MsgLogic.h MsgLogicEx.h)
  if(NOT EXISTS ${prefix}/include/${header})
    message(FATAL_ERROR "${header} was not installed")
  endif()
endforeach()

run("configuring the host project" ${CMAKE_COMMAND} -S ${HOST_SOURCE} -B ${WORK_DIR}/host
    -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run("building the host project" ${CMAKE_COMMAND} --build ${WORK_DIR}/host)
run("running the host" ${WORK_DIR}/host/package_host)
message("${last_output}")
if(NOT last_output MATCHES "package host: ok")
  message(FATAL_ERROR "the host did not finish")
endif()
