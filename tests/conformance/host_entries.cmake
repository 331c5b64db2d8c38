# The host entries each MATLAB module imports must be the names the host's published headers
# link: never a classic name those headers rename, never a 32-bit dimension (_700) or interleaved
# complex (_800) entry, and always an entry the stand-in host exports, so that the stand-in tests
# load the module. The stand-in headers may rename only as the published headers do.
#   cmake -DRENAMES=renamed_entries.txt -DHEADERS="mex.h;matrix.h" -DNM=nm -DOBJDUMP=objdump
#         -DLINUX_MODULE=Quarnel.mexa64 -DLINUX_HOST="libmex.so;libmx.so"
#         [-DWINDOWS_MODULE=Quarnel.mexw64 -DWINDOWS_HOST="libmex.dll;libmx.dll"] -P host_entries.cmake
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../support/module_tables.cmake)
set(failures)

file(STRINGS ${RENAMES} rename_lines REGEX "^[A-Za-z]")
set(classic_names)
set(renames)
foreach(line IN LISTS rename_lines)
  string(REGEX MATCH "^([A-Za-z0-9_]+)[ \t]+([A-Za-z0-9_]+)$" pair "${line}")
  list(APPEND classic_names ${CMAKE_MATCH_1})
  list(APPEND renames "${CMAKE_MATCH_1}>${CMAKE_MATCH_2}")
endforeach()
list(LENGTH classic_names count)
message(STATUS "${count} renamed entries in ${RENAMES}")

foreach(header IN LISTS HEADERS)
  file(STRINGS ${header} defines REGEX "^#define[ \t]+me?x[A-Za-z0-9_]*[ \t]+me?x[A-Za-z0-9_]*[ \t]*$")
  foreach(define IN LISTS defines)
    string(REGEX MATCH "^#define[ \t]+([A-Za-z0-9_]+)[ \t]+([A-Za-z0-9_]+)" ignored "${define}")
    if(NOT "${CMAKE_MATCH_1}>${CMAKE_MATCH_2}" IN_LIST renames)
      list(APPEND failures "${header} renames ${CMAKE_MATCH_1} to ${CMAKE_MATCH_2}, which the host's headers don't")
    endif()
  endforeach()
endforeach()

# `entries`, imported by `module`, against the names `exported` by the stand-in libraries `from`.
function(check_entries module from entries exported)
  if(entries STREQUAL "")
    list(APPEND failures "${module} imports nothing from ${from}: its imports weren't read")
  endif()
  foreach(entry IN LISTS entries)
    if(entry IN_LIST classic_names)
      list(APPEND failures "${module} imports ${entry}, a classic name the host's headers rename")
    elseif(entry MATCHES "_(700|800)$")
      list(APPEND failures "${module} imports ${entry}, which has no place in the 64-bit dimension, separate complex interface")
    elseif(NOT entry IN_LIST exported)
      list(APPEND failures "${module} imports ${entry}, which the stand-in ${from} doesn't export")
    endif()
  endforeach()
  message(STATUS "${module} imports from ${from}: ${entries}")
  set(failures ${failures} PARENT_SCOPE)
endfunction()

# On Linux the host's entries are the module's undefined symbols that carry no version: everything
# the C and C++ runtimes provide is bound with its version.
command_lines(lines ${NM} -D --undefined-only ${LINUX_MODULE})
matched_names("${lines}" "${elf_unversioned_need}" entries)
set(exported)
foreach(library IN LISTS LINUX_HOST)
  command_lines(lines ${NM} -D --defined-only ${library})
  matched_names("${lines}" "${elf_defined_name}" names)
  list(APPEND exported ${names})
endforeach()
check_entries(${LINUX_MODULE} "${LINUX_HOST}" "${entries}" "${exported}")

# On Windows they are the names the module imports from each of the host's DLLs, each of which
# must come from the stand-in DLL of that name.
if(WINDOWS_MODULE)
  command_lines(lines ${OBJDUMP} -p ${WINDOWS_MODULE})
  pe_imported_names("${lines}" imports)
  foreach(library IN LISTS WINDOWS_HOST)
    get_filename_component(dll ${library} NAME)
    command_lines(lines ${OBJDUMP} -p ${library})
    pe_exported_names("${lines}" exported)
    check_entries(${WINDOWS_MODULE} ${dll} "${imports_${dll}}" "${exported}")
  endforeach()
endif()

fail_on("${failures}" "Host entries")
