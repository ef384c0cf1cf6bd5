# Checks that no folder includes a header of a folder above it.
#
#   cmake -DROOT=<source tree> -P check_layers.cmake
#   cmake -DROOT=<tree> -DEXPECT=<file> -P check_layers.cmake   (the check's own test)
#
# The layers, from the bottom: mail < core < job < ui < addressbook, banner < app. A folder may include
# its own headers and those of the layers below it, never one of its own layer's other folders
# (addressbook/ and banner/ do not link each other) nor one above. plugins/include holds the
# interface headers of the run-time plugins: anyone may include them, and they include only
# each other. Every other folder of plugins/ is a library of its own that shares nothing with
# the program but plugins/include. Folders that do not exist (yet) are skipped.
#
# Without EXPECT the check fails when it finds a wrong include. With EXPECT it prints what it
# finds and fails unless that is exactly the file's list of lines (order does not matter).

cmake_minimum_required(VERSION 3.25)

if(NOT ROOT OR NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "check_layers: ROOT must name the source tree")
endif()
get_filename_component(ROOT "${ROOT}" REALPATH)

set(layer_folders mail core job ui addressbook banner app)
set(level_mail 0)
set(level_core 1)
set(level_job 2)
set(level_ui 3)
set(level_addressbook 4)
set(level_banner 4)
set(level_app 5)

# The folders that exist, each with the level it stands on; plugin libraries stand apart.
set(folders)
foreach(f ${layer_folders})
  if(IS_DIRECTORY "${ROOT}/${f}")
    list(APPEND folders ${f})
  endif()
endforeach()
if(IS_DIRECTORY "${ROOT}/plugins/include")
  list(APPEND folders plugins/include)
endif()
file(GLOB plugin_entries LIST_DIRECTORIES true RELATIVE "${ROOT}" "${ROOT}/plugins/*")
foreach(p ${plugin_entries})
  if(IS_DIRECTORY "${ROOT}/${p}" AND NOT p STREQUAL "plugins/include")
    list(APPEND folders ${p})
  endif()
endforeach()

# May code in `from` include a header of `to`?
function(include_allowed from to result)
  if(from STREQUAL to OR to STREQUAL "plugins/include")
    set(${result} TRUE PARENT_SCOPE)
  elseif(DEFINED level_${from} AND DEFINED level_${to} AND level_${to} LESS level_${from})
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# The checked folder a path lies in (empty: none).
function(owner_of path result)
  set(found "")
  foreach(f ${folders})
    string(FIND "${path}" "${ROOT}/${f}/" at)
    if(at EQUAL 0)
      set(found ${f})
    endif()
  endforeach()
  set(${result} "${found}" PARENT_SCOPE)
endfunction()

set(found_lines)
foreach(folder ${folders})
  file(GLOB_RECURSE sources "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.hpp" "${ROOT}/${folder}/*.cpp"
    "${ROOT}/${folder}/*.cc" "${ROOT}/${folder}/*.c")
  foreach(source ${sources})
    file(RELATIVE_PATH source_name "${ROOT}" "${source}")
    get_filename_component(source_dir "${source}" DIRECTORY)
    # Both quoted and angle-bracket includes: a project header reached through <...> counts too.
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][^>\"]+[>\"]")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*" "\\1" name "${line}")
      # Where the compiler could find it: beside the file, or in any checked folder.
      # A name with "../" may lead out of the folder it is looked for in: the folder the file
      # really lies in is its owner.
      set(owners)
      foreach(dir "${source_dir}" ${folders})
        if(NOT IS_ABSOLUTE "${dir}")
          set(dir "${ROOT}/${dir}")
        endif()
        if(EXISTS "${dir}/${name}" AND NOT IS_DIRECTORY "${dir}/${name}")
          get_filename_component(path "${dir}/${name}" REALPATH)
          owner_of("${path}" owner)
          if(owner)
            list(APPEND owners ${owner})
          endif()
        endif()
      endforeach()
      list(REMOVE_DUPLICATES owners)
      # The folder's own header wins; otherwise every folder holding that name must be allowed.
      if(folder IN_LIST owners)
        continue()
      endif()
      foreach(owner ${owners})
        include_allowed(${folder} ${owner} ok)
        if(NOT ok)
          list(APPEND found_lines "${source_name} includes ${name} of ${owner}/")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
list(SORT found_lines)

if(DEFINED EXPECT)
  file(STRINGS "${EXPECT}" expected)
  list(SORT expected)
  foreach(l ${found_lines})
    message(STATUS "found: ${l}")
  endforeach()
  if(NOT found_lines STREQUAL expected)
    foreach(l ${expected})
      if(NOT l IN_LIST found_lines)
        message(STATUS "missed: ${l}")
      endif()
    endforeach()
    foreach(l ${found_lines})
      if(NOT l IN_LIST expected)
        message(STATUS "not expected: ${l}")
      endif()
    endforeach()
    message(FATAL_ERROR "check_layers: the findings differ from ${EXPECT}")
  endif()
  return()
endif()

if(found_lines)
  foreach(l ${found_lines})
    message(STATUS "${l}")
  endforeach()
  list(LENGTH found_lines count)
  message(FATAL_ERROR "check_layers: ${count} include(s) of a header from a folder above "
    "(layers from the bottom: mail, core, job, ui, addressbook and banner, app; plugins/include for all)")
endif()
list(JOIN folders ", " checked)
message(STATUS "check_layers: no folder includes a header of a folder above it (${checked})")
