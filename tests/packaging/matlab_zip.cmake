# The MATLAB zip holds exactly both modules, the help text, the tab completion, the license and the
# README for MATLAB users, in one folder, each the very file the build and the sources have; and
# its tab completion describes both of Quarnel's arguments.
#   cmake -DZIP=... -DFOLDER=Quarnel-<version> -DWINDOWS_MODULE=Quarnel.mexw64 -DLINUX_MODULE=Quarnel.mexa64
#         -DSOURCE_DIR=... -DSCRATCH=... -P matlab_zip.cmake
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ZIP} WORKING_DIRECTORY ${SCRATCH} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "can't unpack ${ZIP}")
endif()
file(GLOB_RECURSE entries RELATIVE ${SCRATCH} LIST_DIRECTORIES true ${SCRATCH}/*)
list(SORT entries)
set(signatures resources/functionSignatures.json)
set(expected ${FOLDER} ${FOLDER}/LICENSE ${FOLDER}/Quarnel.m ${FOLDER}/Quarnel.mexa64 ${FOLDER}/Quarnel.mexw64
             ${FOLDER}/README.md ${FOLDER}/resources ${FOLDER}/${signatures})
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "${ZIP} holds\n  [${entries}]\nnot\n  [${expected}]")
endif()
foreach(pair "Quarnel.mexw64;${WINDOWS_MODULE}" "Quarnel.mexa64;${LINUX_MODULE}"
             "Quarnel.m;${SOURCE_DIR}/gateway/Quarnel.m" "${signatures};${SOURCE_DIR}/gateway/${signatures}"
             "LICENSE;${SOURCE_DIR}/LICENSE" "README.md;${SOURCE_DIR}/packaging/matlab/README.md")
  list(GET pair 0 name)
  list(GET pair 1 original)
  file(SHA256 ${SCRATCH}/${FOLDER}/${name} packed)
  file(SHA256 ${original} built)
  if(NOT packed STREQUAL built)
    message(FATAL_ERROR "${name} in ${ZIP} is not ${original}")
  endif()
endforeach()

# Quarnel(path, progress): a required .raw file path, then an optional logical or numeric scalar.
file(READ ${SCRATCH}/${FOLDER}/${signatures} json)
string(JSON inputs GET "${json}" Quarnel inputs)
string(JSON count LENGTH "${inputs}")
set(arguments)
foreach(index RANGE 0 1)
  string(JSON name GET "${inputs}" ${index} name)
  string(JSON kind GET "${inputs}" ${index} kind)
  string(JSON type GET "${inputs}" ${index} type)
  string(REGEX REPLACE "[][\" \n]" "" type "${type}")
  list(APPEND arguments "${name} ${kind} ${type}")
endforeach()
set(expected_arguments "path required filepath=*.raw" "progress ordered logical,scalar,numeric,scalar")
if(NOT count EQUAL 2 OR NOT arguments STREQUAL expected_arguments)
  message(FATAL_ERROR "${signatures} describes ${count} inputs:\n  [${arguments}]\nnot\n  [${expected_arguments}]")
endif()
file(REMOVE_RECURSE ${SCRATCH})
message(STATUS "${ZIP}: ${entries}")
