# A module's dynamic symbols: the host looks up mexFunction, and nothing else of the module may
# be there to clash with the host's own symbols or another module's.
# Usage: cmake -DNM=nm -DMODULE=path -P exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${MODULE} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "can't read the symbols of ${MODULE}")
endif()
string(REGEX REPLACE "[^\n]* ([^ \n]+)\n" "\\1;" names "${symbols}")
if(NOT names STREQUAL "mexFunction;")
  message(FATAL_ERROR "${MODULE} exports ${names}, not mexFunction alone")
endif()
