# Man pages of the tools, written by help2man from each tool's --help and
# the project's version when the tools are built, compressed as Debian ships
# them. Only where the build runs its own programs (not in a cross-build,
# whose Windows tools have none) and help2man is installed
# (scripts/setup.sh installs it); without it the configure run and every
# install say that the pages are missing.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
find_program(KELVANE_HELP2MAN help2man)
if(NOT KELVANE_HELP2MAN)
  message(WARNING "help2man was not found: the tools' man pages will not be built or "
                  "installed. Install it (bash scripts/setup.sh, or apt-get install help2man) "
                  "and configure again.")
  kelvane_install_skipped("the man pages of the tools (help2man was not found when this build was configured)")
  return()
endif()

set(_kelvane_man_kelvane "run requests of the KelvaneDll library against a diskless-boot server")
set(_kelvane_man_kelvane-server "simulate the tool service of a diskless-boot server")
set(_kelvane_man_kelvane-dump "decode packets of the diskless-boot server's protocol")
set(_kelvane_man_kelvane-logview "follow the shared log ring of a KelvaneDll host live")

set(_kelvane_pages)
foreach(tool ${KELVANE_TOOLS})
  set(_page ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
  add_custom_command(OUTPUT ${_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${KELVANE_HELP2MAN} --no-info --section 1 --name ${_kelvane_man_${tool}}
            --version-string ${PROJECT_VERSION}
            --output ${_page} $<TARGET_FILE:${tool}>
    COMMAND gzip -9nf ${_page}
    DEPENDS ${tool}
    COMMENT "Writing the man page of ${tool}"
    VERBATIM)
  list(APPEND _kelvane_pages ${_page}.gz)
endforeach()
add_custom_target(kelvane_man_pages ALL DEPENDS ${_kelvane_pages})
install(FILES ${_kelvane_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
kelvane_install_needs(TARGETS kelvane_man_pages FILES ${_kelvane_pages})
