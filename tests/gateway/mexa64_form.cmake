# The Linux module for MATLAB as the release ships it: it exports mexFunction alone, needs nothing
# but the host's two libraries and the C and C++ runtimes, names no folder to search, binds every
# runtime symbol with its version, and asks for no version newer than the C and C++ runtimes of
# Red Hat 7, which every Linux that recent MATLAB releases support goes beyond.
#   cmake -DNM=nm -DOBJDUMP=objdump -DMODULE=Quarnel.mexa64 -P mexa64_form.cmake
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/exports.cmake)

set(failures)
set(libraries libmx.so libmex.so libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1)
set(newest_GLIBC 2.17)
set(newest_GLIBCXX 3.4.19)
set(newest_CXXABI 1.3.7)
set(newest_GCC 4.8.0)

command_lines(lines ${OBJDUMP} -p ${MODULE})
foreach(line IN LISTS lines)
  if(line MATCHES "^  NEEDED +(.+)$")
    if(NOT CMAKE_MATCH_1 IN_LIST libraries)
      list(APPEND failures "needs ${CMAKE_MATCH_1}")
    endif()
  elseif(line MATCHES "^  (RPATH|RUNPATH) +(.+)$")
    list(APPEND failures "searches ${CMAKE_MATCH_2} for libraries (${CMAKE_MATCH_1})")
  elseif(line MATCHES "^    0x[0-9a-f]+ 0x[0-9a-f]+ [0-9]+ ([A-Z]+)_([0-9.]+)$")
    set(newest ${newest_${CMAKE_MATCH_1}})
    if(NOT newest OR CMAKE_MATCH_2 VERSION_GREATER newest)
      list(APPEND failures "asks for symbol version ${CMAKE_MATCH_1}_${CMAKE_MATCH_2}")
    endif()
    message(STATUS "symbol version ${CMAKE_MATCH_1}_${CMAKE_MATCH_2}")
  elseif(line MATCHES "^    0x[0-9a-f]+ 0x[0-9a-f]+ [0-9]+ (.+)$")
    list(APPEND failures "asks for symbol version ${CMAKE_MATCH_1}")
  endif()
endforeach()

# Only the host's entries, named mx... and mex..., come unversioned.
command_lines(symbols ${NM} -D --undefined-only ${MODULE})
matched_names("${symbols}" "${elf_unversioned_need}" unversioned)
foreach(symbol IN LISTS unversioned)
  if(NOT symbol MATCHES "^me?x[A-Z]")
    list(APPEND failures "binds ${symbol} without a version")
  endif()
endforeach()

fail_on("${failures}" ${MODULE})
