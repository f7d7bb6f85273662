# CLI11 and nlohmann-json for the mingw-w64 build. Their Debian CMake targets
# name /usr/include, which would put glibc's headers in front of mingw's, so
# their header trees alone are copied into the build folder and used from
# there.
set(_hdr ${CMAKE_BINARY_DIR}/header-libs)
foreach(tree CLI nlohmann)
  if(NOT EXISTS /usr/include/${tree})
    message(FATAL_ERROR "/usr/include/${tree} is missing: install libcli11-dev and nlohmann-json3-dev")
  endif()
  file(COPY /usr/include/${tree} DESTINATION ${_hdr})
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_hdr})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_hdr})
