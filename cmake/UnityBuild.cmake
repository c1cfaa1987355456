# Unity builds: each target's .cpp files are compiled a few at a time, a group
# being one small file that includes them. Most of a file's compile time goes
# to the headers every file includes (GoogleTest, nlohmann-json, Qt, the
# standard library) and to the templates they instantiate; a group pays for
# them once. Measured from an empty compiler cache on two cores, the release
# build took 352 processor seconds file by file and 120 in groups of eight,
# the dev build 636, 337 in groups of eight and 308 in groups of sixteen;
# precompiled headers had saved next to nothing.
#
# CMake's own UNITY_BUILD names the files by absolute path, which would tie the
# compiler cache to one checkout's folder; a group here names its files
# relative to itself, so a fresh clone in another folder still hits the cache.
#
# A file stays on its own when it has compile definitions or options of its own
# (the tests that carry the build's absolute paths) or sets SKIP_UNITY_BUILD_INCLUSION.
option(QUORVEL_UNITY_BUILD "Compile each target's sources in groups (faster whole builds)" ON)
set(QUORVEL_UNITY_GROUP_SIZE 16 CACHE STRING "Files per group in a unity build")

function(quorvel_unity_target target)
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY)$")
    return()
  endif()
  get_target_property(directory ${target} SOURCE_DIR)
  get_target_property(sources ${target} SOURCES)
  set(group_folder ${CMAKE_BINARY_DIR}/unity/${target})
  set(grouped)
  set(group)
  set(group_count 0)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\$<" OR NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${directory} NORMALIZE OUTPUT_VARIABLE path)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR ${path} NORMALIZE in_project)
    if(NOT in_project)
      continue()
    endif()
    set(own_settings FALSE)
    foreach(property COMPILE_DEFINITIONS COMPILE_OPTIONS COMPILE_FLAGS INCLUDE_DIRECTORIES
                     GENERATED HEADER_FILE_ONLY SKIP_UNITY_BUILD_INCLUSION)
      get_source_file_property(value ${path} TARGET_DIRECTORY ${target} ${property})
      if(value)
        set(own_settings TRUE)
      endif()
    endforeach()
    if(own_settings)
      continue()
    endif()
    file(RELATIVE_PATH relative ${group_folder} ${path})
    string(APPEND group "#include \"${relative}\"\n")
    list(APPEND grouped ${path})
    list(LENGTH grouped count)
    math(EXPR filled "${count} % ${QUORVEL_UNITY_GROUP_SIZE}")
    if(filled EQUAL 0)
      quorvel_unity_write_group()
    endif()
  endforeach()
  if(group)
    quorvel_unity_write_group()
  endif()
  # The grouped files stop compiling on their own only once every target has
  # been grouped: a file two targets share must be seen as a source by both.
  foreach(path IN LISTS grouped)
    set_property(GLOBAL APPEND PROPERTY QUORVEL_UNITY_GROUPED "${target}|${path}")
  endforeach()
endfunction()

# Writes the group gathered so far (only when its text changed, so that
# configuring again recompiles nothing) and adds it to the target.
macro(quorvel_unity_write_group)
  set(group_file ${group_folder}/group_${group_count}.cpp)
  file(CONFIGURE OUTPUT ${group_file} CONTENT "// Generated: compiled as one.\n${group}")
  target_sources(${target} PRIVATE ${group_file})
  math(EXPR group_count "${group_count} + 1")
  set(group)
endmacro()

# Groups the sources of every target defined in DIRECTORY and below it.
function(quorvel_unity_build directory)
  quorvel_unity_directory(${directory})
  get_property(grouped GLOBAL PROPERTY QUORVEL_UNITY_GROUPED)
  foreach(entry IN LISTS grouped)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 target)
    list(GET entry 1 path)
    set_source_files_properties(${path} TARGET_DIRECTORY ${target} PROPERTIES HEADER_FILE_ONLY ON)
  endforeach()
endfunction()

function(quorvel_unity_directory directory)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    quorvel_unity_target(${target})
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    quorvel_unity_directory(${subdirectory})
  endforeach()
endfunction()
