# Fails unless the shared library LIBRARY exports exactly the symbols listed
# in EXPECTED (a ;-separated list). Run with: cmake -DNM=... -DLIBRARY=...
# -DEXPECTED=... -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  # "address type name"; only code and data symbols count.
  if(line MATCHES "^[0-9a-fA-F]+ [TDBRVWiu] ([^ ]+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)
set(wanted ${EXPECTED})
list(SORT wanted)
if(NOT exported STREQUAL wanted)
  message(FATAL_ERROR "${LIBRARY} exports [${exported}], expected [${wanted}]")
endif()
message(STATUS "${LIBRARY} exports exactly [${exported}]")
