# cmake -DBUILD_DIR=... -DHOST_SOURCE=... -DWORK_DIR=... -DGENERATOR=...
#       -DCXX=... -DCXX_FLAGS=... -DLINK_FLAGS=... -DBITS=... [-DTOOLCHAIN=...]
#       [-DEMULATOR=...] [-DARCH=x86|x64] -P run_package_test.cmake
# With TOOLCHAIN (a cross build) the host is built with that toolchain file,
# gets the installed DLLs beside it, as a Windows host ships them, and runs
# through EMULATOR (its words separated by '|'). With ARCH (Windows) the
# files must be in bin/ARCH and lib/ARCH. BITS is the pointer size in bytes
# the host must have been built with.
#
# The environment variable MSGLOGIC_PACKAGE_PREFIX names a prefix to install
# into instead of a fresh one, kept as it is: run for each Windows build in
# turn, it proves that the two builds share one prefix and that each host
# gets the build of its word size.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
if(DEFINED ENV{MSGLOGIC_PACKAGE_PREFIX})
  set(prefix $ENV{MSGLOGIC_PACKAGE_PREFIX})
endif()

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
set(bindir ${prefix}/bin)
if(ARCH)
  set(bindir ${prefix}/bin/${ARCH})
  foreach(file bin/${ARCH}/msglogicex.dll bin/${ARCH}/msglogic.dll lib/${ARCH}/msglogicex.lib
               lib/${ARCH}/libmsglogicex.dll.a)
    if(NOT EXISTS ${prefix}/${file})
      message(FATAL_ERROR "${file} was not installed")
    endif()
  endforeach()
  file(GLOB stray ${prefix}/bin/*.dll ${prefix}/lib/*.lib ${prefix}/lib/*.dll.a)
  if(stray)
    message(FATAL_ERROR "installed outside the folders of an architecture: ${stray}")
  endif()
endif()

if(TOOLCHAIN)
  # The toolchain confines package searches to the target's root: the
  # package is named by its folder instead.
  set(compiler -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
      -Dmsglogicex_DIR=${prefix}/lib/cmake/msglogicex)
else()
  set(compiler -DCMAKE_CXX_COMPILER=${CXX})
endif()
run("configuring the host project" ${CMAKE_COMMAND} -S ${HOST_SOURCE} -B ${WORK_DIR}/host
    -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} ${compiler}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run("building the host project" ${CMAKE_COMMAND} --build ${WORK_DIR}/host)
set(host ${WORK_DIR}/host/package_host)
if(TOOLCHAIN)
  set(host ${host}.exe)
  file(GLOB dlls ${bindir}/*.dll)
  if(NOT dlls)
    message(FATAL_ERROR "no DLL was installed in ${bindir}")
  endif()
  file(COPY ${dlls} DESTINATION ${WORK_DIR}/host)
endif()
string(REPLACE "|" ";" emulator "${EMULATOR}")
run("running the host" ${emulator} ${host})
message("${last_output}")
math(EXPR bits "8 * ${BITS}")
if(NOT last_output MATCHES "package host: ok \\(${bits}-bit\\)")
  message(FATAL_ERROR "the ${bits}-bit host did not finish")
endif()
