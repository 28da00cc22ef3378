# Installs, before anything is configured, the Debian packages the chosen
# preset needs (.ci/deps.sh holds the list), so that the README's commands
# work on a fresh machine. Each preset names itself in MSGLOGIC_DEPS_PRESET;
# a configure without a preset checks nothing here. Where packages cannot be
# installed (not root and no password-less sudo, or
# -DMSGLOGIC_INSTALL_DEPS=OFF), configuring stops with one line saying which
# command to run.
option(MSGLOGIC_INSTALL_DEPS "Install missing Debian packages while configuring" ON)

function(msglogic_install_dependencies preset)
  find_program(MSGLOGIC_DPKG_QUERY dpkg-query)
  find_program(MSGLOGIC_BASH bash)
  if(NOT MSGLOGIC_DPKG_QUERY OR NOT MSGLOGIC_BASH)
    message(STATUS "Not a Debian system: packages for preset ${preset} not checked")
    return()
  endif()
  set(script ${CMAKE_CURRENT_LIST_DIR}/../.ci/deps.sh)
  execute_process(COMMAND ${MSGLOGIC_BASH} ${script} --missing ${preset}
    OUTPUT_VARIABLE missing OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    return()
  endif()
  set(hint "run 'sudo bash .ci/deps.sh ${preset}'")
  if(NOT rc EQUAL 1)
    message(FATAL_ERROR "Cannot check the packages of preset ${preset}: ${hint}")
  endif()
  if(NOT MSGLOGIC_INSTALL_DEPS)
    message(FATAL_ERROR "Missing packages ${missing}: ${hint}")
  endif()
  message(STATUS "Installing missing packages for preset ${preset}: ${missing}")
  execute_process(COMMAND ${MSGLOGIC_BASH} ${script} ${preset} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Missing packages ${missing}: ${hint}")
  endif()
endfunction()

if(MSGLOGIC_DEPS_PRESET AND CMAKE_HOST_UNIX)
  msglogic_install_dependencies(${MSGLOGIC_DEPS_PRESET})
endif()
