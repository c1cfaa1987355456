# A cross build searches only the target's sysroot, yet the header-only
# libraries Debian installs (CLI11, nlohmann-json) serve any target. They are
# made reachable through a build-tree folder holding links to just their
# folders, so the rest of the host's /usr/include never reaches the cross compiler.
set(quorvel_host_headers ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${quorvel_host_headers})
foreach(folder CLI nlohmann)
  if(EXISTS /usr/include/${folder} AND NOT EXISTS ${quorvel_host_headers}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${quorvel_host_headers}/${folder} SYMBOLIC)
  endif()
endforeach()

if(NOT EXISTS ${quorvel_host_headers}/CLI/CLI.hpp)
  message(FATAL_ERROR "CLI11 headers not found in /usr/include/CLI (Debian package libcli11-dev)")
endif()
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${quorvel_host_headers})
set(CLI11_FOUND TRUE)
if(EXISTS ${quorvel_host_headers}/nlohmann/json.hpp)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${quorvel_host_headers})
  set(nlohmann_json_FOUND TRUE)
endif()
