# Man pages of the tools, written by help2man from each tool's --help and
# the project's version when the tools are built, compressed as Debian ships
# them. Only where the build runs its own programs (not in a cross-build)
# and help2man is installed.
find_program(KELVANE_HELP2MAN help2man)
if(NOT KELVANE_HELP2MAN OR CMAKE_CROSSCOMPILING)
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
