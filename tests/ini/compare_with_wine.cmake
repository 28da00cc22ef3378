# Runs ini_probe built for Linux, and ini_probe.exe under Wine, on the same
# files and fails unless they read every file alike, but for the files of
# KNOWN (known_differences.txt), which must differ:
#   cmake -DLINUX_PROBE=... -DWINDOWS_PROBE=... -DWINE=... -DQUERIES=...
#         -DKNOWN=... -DCASES=... -DWORK_DIR=... -P compare_with_wine.cmake
# Wine runs twice: in the C locale (code page 1252, every byte a character)
# and in zh_CN.UTF-8 (code page 936, as on the hosts). Besides the files of
# CASES, the probes read big.ini (a section of more than 64 KB, made here),
# dir.ini (a directory) and missing.ini (absent).
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})
set(dir ${WORK_DIR}/cases)
file(COPY ${CASES}/ DESTINATION ${dir} PATTERN .gitattributes EXCLUDE)

set(big "[big]\r\n")
foreach(i RANGE 0 3999)
  string(LENGTH "${i}" digits)
  math(EXPR pad "5 - ${digits}")
  string(REPEAT "0" ${pad} zeros)
  string(APPEND big "key${zeros}${i}=value of entry ${i}\r\n")
endforeach()
string(APPEND big "[after]\r\nx=1\r\n")
string(LENGTH "${big}" big_size)
if(big_size LESS 100000)
  message(FATAL_ERROR "big.ini is too small: ${big_size} bytes")
endif()
file(WRITE ${dir}/big.ini "${big}")
file(MAKE_DIRECTORY ${dir}/dir.ini)
file(WRITE ${dir}/dir.ini/inside.ini "[loginInfo]\r\nid1=1\r\n")

# Wine's own processes, started with the first program of a session, keep
# that program's standard output and error: they go to files, never to a
# pipe this script would wait on. The probe writes its results itself.
function(probe what)
  execute_process(COMMAND ${ARGN} ${QUERIES} ${dir} ${WORK_DIR}/${what}
    RESULT_VARIABLE result
    OUTPUT_FILE ${WORK_DIR}/${what}.stdout ERROR_FILE ${WORK_DIR}/${what}.stderr)
  if(NOT result EQUAL 0)
    file(READ ${WORK_DIR}/${what}.stderr err)
    message(FATAL_ERROR "the ${what} probe failed (${result}):\n${err}")
  endif()
endfunction()
probe(linux ${LINUX_PROBE})

file(STRINGS ${KNOWN} known_lines REGEX "^[^#]")
find_program(DIFF diff)
file(GLOB results RELATIVE ${WORK_DIR}/linux ${WORK_DIR}/linux/*.txt)
list(LENGTH results file_count)
set(problems "")
foreach(locale C zh_CN.UTF-8)
  probe(wine-${locale} ${CMAKE_COMMAND} -E env LC_ALL=${locale} ${WINE} ${WINDOWS_PROBE})
  set(alike 0)
  foreach(result IN LISTS results)
    string(REGEX REPLACE "\\.txt$" "" name "${result}")
    set(known FALSE)
    if("${locale} ${name}" IN_LIST known_lines)
      set(known TRUE)
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                    ${WORK_DIR}/linux/${result} ${WORK_DIR}/wine-${locale}/${result}
                    RESULT_VARIABLE differ OUTPUT_QUIET ERROR_QUIET)
    if(differ AND NOT known)
      set(shown "")
      if(DIFF)
        execute_process(COMMAND ${DIFF} -u wine-${locale}/${result} linux/${result}
                        WORKING_DIRECTORY ${WORK_DIR} OUTPUT_VARIABLE shown)
      endif()
      string(APPEND problems "${name} is read differently (Wine in ${locale}: -, Linux: +):\n${shown}\n")
    elseif(NOT differ AND known)
      string(APPEND problems "${name} is read alike in ${locale}: take it off ${KNOWN} and doc/windows.md\n")
    elseif(NOT differ)
      math(EXPR alike "${alike} + 1")
    endif()
  endforeach()
  message(STATUS "Wine in ${locale}: ${alike} of ${file_count} files read alike")
endforeach()
if(problems)
  message(FATAL_ERROR "The Linux reader and kernel32 under Wine disagree (all results in ${WORK_DIR}):\n${problems}")
endif()
