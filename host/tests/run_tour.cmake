# Runs the demo's tour and checks its exit code and the transcript lines that
# show each part worked:
#   cmake -DDEMO=<msglogic-demo> [-DSCENARIO=<file>] [-DEMULATOR=<command>]
#         -P run_tour.cmake
# EMULATOR runs the demo of a cross build (its words separated by '|').
# Without SCENARIO the engine runs its built-in scenario, whose texts are
# checked too.
set(args)
if(SCENARIO)
  set(args --scenario ${SCENARIO})
endif()
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${DEMO} ${args}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 50)
message("${out}")
if(err)
  message("standard error:\n${err}")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the tour exited with ${result}")
endif()
set(expected_lines
    "> Connect\\(10009, 0\\) = 1"
    "> Connect\\(10001, 0\\) = 0"
    "< OnFriendList\\(1\\): [1-9][0-9]* friends"
    "not online \\(status [23]\\)"
    "< OnUserData\\(10008, text\\): \"[^\"]*你好，回声！\""
    "> SendText\\(20001, \"[^\"]*\"\\) = 1"
    "< OnUserData\\(20001, text\\)"
    "> ContactUser\\([0-9]+\\) = -1"
    "< OnEventA\\([0-9]+, \"[^\"]*大厅, 会议室\"\\)"
    "< OnUserList\\([1-9]"
    "< OnEventB\\(2\\)"
    "< OnConnectionLost\\(\\)"
    "tour: all [0-9]+ steps ok")
if(NOT SCENARIO)
  list(APPEND expected_lines "张伟" "echo: 你好，回声！" "< OnEventD\\(1, 2, 3\\)")
endif()
foreach(expected IN LISTS expected_lines)
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "the transcript lacks \"${expected}\"")
  endif()
endforeach()
