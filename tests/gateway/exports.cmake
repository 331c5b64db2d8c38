# A module's dynamic symbols: the host looks up mexFunction, and nothing else of the module may
# be there to clash with the host's own symbols or another module's.
# Usage: cmake -DNM=nm -DMODULE=path -P exports.cmake
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../support/module_tables.cmake)
command_lines(symbols ${NM} -D --defined-only ${MODULE})
matched_names("${symbols}" "${elf_defined_name}" names)
if(NOT names STREQUAL "mexFunction")
  message(FATAL_ERROR "${MODULE} exports ${names}, not mexFunction alone")
endif()
