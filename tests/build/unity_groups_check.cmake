# Checks the unity build's group files (cmake/UnityBuild.cmake) in BINARY_DIR:
# each names its files by a path relative to itself, never by the checkout's
# absolute path, so that a clone in another folder compiles the same text and
# finds it in the compiler cache; and each file it names exists.
#   cmake -DBINARY_DIR=... -DSOURCE_DIR=... -P unity_groups_check.cmake
file(GLOB_RECURSE groups ${BINARY_DIR}/unity/*.cpp)
if(NOT groups)
  message(FATAL_ERROR "no unity groups under ${BINARY_DIR}/unity")
endif()
list(LENGTH groups count)
foreach(group IN LISTS groups)
  file(STRINGS ${group} includes REGEX "^#include ")
  if(NOT includes)
    message(FATAL_ERROR "${group} includes nothing")
  endif()
  get_filename_component(folder ${group} DIRECTORY)
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"(.*)\"$" "\\1" path "${line}")
    if(IS_ABSOLUTE "${path}" OR path MATCHES "^${SOURCE_DIR}")
      message(FATAL_ERROR "${group} names ${path} by its absolute path")
    endif()
    if(NOT EXISTS ${folder}/${path})
      message(FATAL_ERROR "${group} names ${path}, which is not there")
    endif()
  endforeach()
endforeach()
message(STATUS "${count} unity groups, every file named relative to its group")
