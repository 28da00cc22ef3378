# Fails unless the shared library LIBRARY exports exactly the symbols listed
# in EXPECTED (a ;-separated list). Run with: cmake -DNM=... -DLIBRARY=...
# -DEXPECTED=... -P check_exports.cmake for an ELF library, or with
# -DOBJDUMP=... instead of NM for a DLL (its export table's names).
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  set(tool ${OBJDUMP})
else()
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  set(tool ${NM})
endif()
if(failed)
  message(FATAL_ERROR "${tool} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
set(in_table FALSE)
foreach(line IN LISTS lines)
  if(OBJDUMP)
    # "[Ordinal/Name Pointer] Table", then "\t[   0] name" up to a blank line.
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_table TRUE)
    elseif(in_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND exported ${CMAKE_MATCH_1})
    elseif(in_table)
      set(in_table FALSE)
    endif()
  elseif(line MATCHES "^[0-9a-fA-F]+ [TDBRVWiu] ([^ ]+)$")
    # "address type name"; only code and data symbols count.
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
