# The MATLAB zip holds exactly one folder with both modules, the help text, the tab completion,
# the license, the README for MATLAB users (with the version filled in), the helpers for many
# volumes laid out as in batch/, and build_quarnel with its sources laid out as in the source
# tree: each the very file the build and the sources have. Its two scripts are stored executable,
# as unzip restores them, and its tab completion describes both of Quarnel's arguments.
#   cmake -DZIP=... -DVERSION=... -DWINDOWS_MODULE=Quarnel.mexw64 -DLINUX_MODULE=Quarnel.mexa64
#         -DSOURCE_DIR=... -DPYTHON=python3 -DSCRATCH=... -P matlab_zip.cmake
cmake_minimum_required(VERSION 3.20)
set(folder Quarnel-${VERSION})
set(signatures resources/functionSignatures.json)
# Each file in the folder, and the file it must be: ENTRY|FILE.
set(files
    "Quarnel.mexw64|${WINDOWS_MODULE}"
    "Quarnel.mexa64|${LINUX_MODULE}"
    "Quarnel.m|${SOURCE_DIR}/gateway/Quarnel.m"
    "${signatures}|${SOURCE_DIR}/gateway/${signatures}"
    "LICENSE|${SOURCE_DIR}/LICENSE"
    "README.md|${SCRATCH}/expected/README.md"
    "reduce_folder.m|${SOURCE_DIR}/batch/reduce_folder.m"
    "reduce_volume.m|${SOURCE_DIR}/batch/reduce_volume.m"
    "quarnel_reduce.m|${SOURCE_DIR}/batch/quarnel_reduce.m"
    "private/character_row.m|${SOURCE_DIR}/batch/private/character_row.m"
    "private/whole_mat_file.m|${SOURCE_DIR}/batch/private/whole_mat_file.m"
    "quarnel-reduce|${SOURCE_DIR}/batch/quarnel-reduce"
    "slurm/reduce_array.sbatch|${SOURCE_DIR}/batch/slurm/reduce_array.sbatch"
    "build_quarnel.m|${SOURCE_DIR}/build_quarnel.m"
    "gateway/mexFunction.cpp|${SOURCE_DIR}/gateway/mexFunction.cpp"
    "gateway/Quarnel.m|${SOURCE_DIR}/gateway/Quarnel.m"
    "gateway/exports.map|${SOURCE_DIR}/gateway/exports.map"
    "gateway/${signatures}|${SOURCE_DIR}/gateway/${signatures}"
    "reduce/reduce_pair.cpp|${SOURCE_DIR}/reduce/reduce_pair.cpp"
    "reduce/reduce_pair.h|${SOURCE_DIR}/reduce/reduce_pair.h"
    "reduce/resample.cpp|${SOURCE_DIR}/reduce/resample.cpp"
    "reduce/resample.h|${SOURCE_DIR}/reduce/resample.h"
    "reduce/volume.h|${SOURCE_DIR}/reduce/volume.h")
set(executables quarnel-reduce slurm/reduce_array.sbatch)

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/unpacked)
configure_file(${SOURCE_DIR}/packaging/matlab/README.md.in ${SCRATCH}/expected/README.md @ONLY)

# The entries as the zip lists them, a folder's with a trailing /, each with the system that
# made it (3: Unix, the one whose mode unzip restores) and its mode.
execute_process(
    COMMAND ${PYTHON} -c "import sys, zipfile
for entry in zipfile.ZipFile(sys.argv[1]).infolist():
    print(entry.create_system, '%o' % (entry.external_attr >> 16), entry.filename)" ${ZIP}
    OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "can't list ${ZIP}")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" listing "${listing}")
set(entries)
foreach(line IN LISTS listing)
  string(REGEX REPLACE "^[0-9]+ [0-7]+ " "" name "${line}")
  list(APPEND entries "${name}")
endforeach()
list(SORT entries)

set(expected ${folder}/)
foreach(pair IN LISTS files)
  string(REGEX REPLACE "\\|.*" "" name "${pair}")
  list(APPEND expected ${folder}/${name})
  get_filename_component(parent ${name} DIRECTORY)
  while(parent)
    list(APPEND expected ${folder}/${parent}/)
    get_filename_component(parent ${parent} DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES expected)
list(SORT expected)
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "${ZIP} holds\n  [${entries}]\nnot\n  [${expected}]")
endif()

foreach(name IN LISTS executables)
  set(stored ${listing})
  list(FILTER stored INCLUDE REGEX " ${folder}/${name}$")
  # A regular file (100...) that its owner, its group and others may run (odd octal digits).
  if(NOT stored MATCHES "^3 100[1357][1357][1357] ")
    message(FATAL_ERROR "${ZIP} stores ${name} as [${stored}] (system, mode, name): not executable once unzipped")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ZIP} WORKING_DIRECTORY ${SCRATCH}/unpacked RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "can't unpack ${ZIP}")
endif()
foreach(pair IN LISTS files)
  string(REGEX REPLACE "\\|.*" "" name "${pair}")
  string(REGEX REPLACE "^[^|]*\\|" "" original "${pair}")
  file(SHA256 ${SCRATCH}/unpacked/${folder}/${name} packed)
  file(SHA256 ${original} built)
  if(NOT packed STREQUAL built)
    message(FATAL_ERROR "${name} in ${ZIP} is not ${original}")
  endif()
endforeach()

# Quarnel(path, progress): a required .raw file path, then an optional logical or numeric scalar.
file(READ ${SCRATCH}/unpacked/${folder}/${signatures} json)
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
