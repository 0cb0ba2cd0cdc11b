# `cmake --install` copies what the build made; a build folder that holds
# only part of it (scripts/demo.sh builds four targets) would stop the
# install half-way. The rules that install a built file name it here, and a
# script that every install runs first (all components) builds what is
# missing, or stops before anything is copied; it also says what this
# build does not install and why.
#
#   kelvane_install_needs(TARGETS <targets> [FILES <built files>])
#       next to an install rule: the targets that make what it installs
#       (the file of each library or program is checked; for a custom
#       target, name its FILES)
#   kelvane_install_skipped(<why>)     something the install leaves out
#   kelvane_install_check_script()     at the end: writes the script

set(KELVANE_INSTALL_CHECK_SCRIPT ${PROJECT_BINARY_DIR}/KelvaneInstallFirst.cmake)
install(SCRIPT ${KELVANE_INSTALL_CHECK_SCRIPT} ALL_COMPONENTS)

function(kelvane_install_needs)
  cmake_parse_arguments(N "" "" "TARGETS;FILES" ${ARGN})
  foreach(target IN LISTS N_TARGETS)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "UTILITY")
      set_property(GLOBAL APPEND PROPERTY KELVANE_INSTALL_FILES "$<TARGET_FILE:${target}>")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY KELVANE_INSTALL_TARGETS ${N_TARGETS})
  set_property(GLOBAL APPEND PROPERTY KELVANE_INSTALL_FILES ${N_FILES})
endfunction()

function(kelvane_install_skipped why)
  set_property(GLOBAL APPEND PROPERTY KELVANE_INSTALL_SKIPPED "${why}")
endfunction()

function(kelvane_install_check_script)
  get_property(targets GLOBAL PROPERTY KELVANE_INSTALL_TARGETS)
  get_property(files GLOBAL PROPERTY KELVANE_INSTALL_FILES)
  get_property(skipped GLOBAL PROPERTY KELVANE_INSTALL_SKIPPED)
  # What the install needs, built by one target.
  add_custom_target(kelvane_installed)
  if(targets)
    add_dependencies(kelvane_installed ${targets})
  endif()
  set(notes "")
  foreach(why IN LISTS skipped)
    string(APPEND notes "message(STATUS \"KelvaneDll: not installed: ${why}\")\n")
  endforeach()
  set(quoted "")
  foreach(file IN LISTS files)
    string(APPEND quoted " \"${file}\"")
  endforeach()
  file(GENERATE OUTPUT ${KELVANE_INSTALL_CHECK_SCRIPT} CONTENT
"# Run first by cmake --install (written by cmake/KelvaneInstallCheck.cmake).
set(_missing \"\")
foreach(_file IN ITEMS${quoted})
  if(NOT EXISTS \"\${_file}\")
    list(APPEND _missing \"\${_file}\")
  endif()
endforeach()
if(_missing)
  list(JOIN _missing \"\\n  \" _list)
  message(STATUS \"KelvaneDll: building what the install needs and the build folder lacks:\\n  \${_list}\")
  execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${PROJECT_BINARY_DIR}\" --target kelvane_installed
                  RESULT_VARIABLE _built)
  if(NOT _built EQUAL 0)
    message(FATAL_ERROR \"KelvaneDll: the build of what is installed failed; nothing was installed\")
  endif()
endif()
${notes}")
endfunction()
