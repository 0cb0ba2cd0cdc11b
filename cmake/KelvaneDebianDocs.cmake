# The copyright and changelog that every Debian package carries in
# share/doc/<package>/, installed with each component.
# The day of the build (SOURCE_DATE_EPOCH when set), so that the file
# changes at most once a day.
string(TIMESTAMP KELVANE_CHANGELOG_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
set(_kelvane_docs ${PROJECT_BINARY_DIR}/package)
configure_file(packaging/changelog.in ${_kelvane_docs}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${_kelvane_docs}/changelog.Debian.gz
  COMMAND gzip -9nkf ${_kelvane_docs}/changelog.Debian
  DEPENDS ${_kelvane_docs}/changelog.Debian
  COMMENT "Compressing the Debian changelog" VERBATIM)
add_custom_target(kelvane_debian_docs ALL DEPENDS ${_kelvane_docs}/changelog.Debian.gz)

kelvane_install_needs(TARGETS kelvane_debian_docs FILES ${_kelvane_docs}/changelog.Debian.gz)
foreach(component runtime development tools)
  string(TOUPPER ${component} _upper)
  set(_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KELVANE_DEB_${_upper}})
  install(FILES packaging/copyright ${_kelvane_docs}/changelog.Debian.gz
          DESTINATION ${_doc_dir} COMPONENT ${component})
endforeach()
