# The packet description library shared by kelvane-dump, its tests and the
# fuzzer; included from each of them, defined once.
if(NOT TARGET kelvane_describe)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(kelvane_describe STATIC
    ${CMAKE_CURRENT_LIST_DIR}/PacketDescribe.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DumpCommand.cpp
  )
  target_link_libraries(kelvane_describe PUBLIC kelvane_protocol nlohmann_json::nlohmann_json
                        kelvane_options)
endif()
