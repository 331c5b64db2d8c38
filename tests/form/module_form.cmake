# A built module's binary form, read from what nm and objdump print for it: what it exports, what it
# needs, and, for the two MATLAB modules, that it imports the host's entries by the names the host's
# published headers link. Every fault found is reported, not only the first.
#   cmake -DPLATFORM=octave -DNM=nm -DMODULE=Quarnel.mex -P module_form.cmake
#   cmake -DPLATFORM=linux -DNM=nm -DOBJDUMP=objdump -DMODULE=Quarnel.mexa64 -DHOST="libmex.so;libmx.so"
#         -DRENAMES=renamed_entries.txt -DHEADERS="mex.h;matrix.h" -P module_form.cmake
#   cmake -DPLATFORM=windows -DOBJDUMP=x86_64-w64-mingw32-objdump -DMODULE=Quarnel.mexw64
#         -DHOST="libmex.dll;libmx.dll" -DHOST_DEFS="libmex.def;libmx.def"
#         -DRENAMES=renamed_entries.txt -DHEADERS="mex.h;matrix.h" -P module_form.cmake
# HOST names the stand-in host's libraries, HOST_DEFS the lists of host functions the Windows module
# is linked against, RENAMES the host's published renames and HEADERS the stand-in headers.
cmake_minimum_required(VERSION 3.20)

if(PLATFORM STREQUAL "octave")
  set(needed NM MODULE)
elseif(PLATFORM STREQUAL "linux")
  set(needed NM OBJDUMP MODULE HOST RENAMES HEADERS)
elseif(PLATFORM STREQUAL "windows")
  set(needed OBJDUMP MODULE HOST HOST_DEFS RENAMES HEADERS)
else()
  message(FATAL_ERROR "PLATFORM must be linux, windows or octave, not \"${PLATFORM}\"")
endif()
foreach(variable IN LISTS needed)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "the ${PLATFORM} module's form needs -D${variable}=...")
  endif()
endforeach()
set(failures)

# The lines `command` prints, one an element; the script ends when the command fails. A ";" in the
# output becomes ",", so that no line splits in two.
function(command_lines result)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE output RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "can't run ${ARGN}")
  endif()
  string(REPLACE ";" "," output "${output}")
  string(REGEX REPLACE "\r?\n$" "" output "${output}")
  string(REGEX REPLACE "\r?\n" ";" output "${output}")
  set(${result} ${output} PARENT_SCOPE)
endfunction()

# The first group that `pattern` matches in each of `lines` it matches.
function(matched_names lines pattern result)
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "${pattern}")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${result} ${names} PARENT_SCOPE)
endfunction()

# In `nm -D --defined-only` lines: a symbol's name, as nm prints it, with any version.
set(elf_defined_name " ([^ ]+)$")
# In `nm -D --undefined-only` lines: a symbol that is needed (not weak) and bound to no version.
set(elf_unversioned_need "^ +U ([^@]+)$")

# The names in the export table of a Windows module, from `objdump -p` lines.
function(pe_exported_names lines result)
  set(names)
  set(in_names FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^\t\\[ *[0-9]+\\] (.+)$")
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(in_names)
      break()
    endif()
  endforeach()
  set(${result} ${names} PARENT_SCOPE)
endfunction()

# The DLLs a Windows module imports from, in <prefix>_dlls, and the names it imports from each
# DLL, in <prefix>_<dll>, from `objdump -p` lines.
function(pe_imported_names lines prefix)
  set(dlls)
  set(dll)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\tDLL Name: (.+)$")
      set(dll ${CMAKE_MATCH_1})
      list(APPEND dlls ${dll})
    elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([^ ]+)$")
      list(APPEND names_${dll} ${CMAKE_MATCH_1})
    elseif(line MATCHES "^There is an export table")
      break()
    endif()
  endforeach()
  set(${prefix}_dlls ${dlls} PARENT_SCOPE)
  foreach(dll IN LISTS dlls)
    set(${prefix}_${dll} ${names_${dll}} PARENT_SCOPE)
  endforeach()
endfunction()

# The names a .def file lists under EXPORTS.
function(def_names def result)
  file(STRINGS ${def} def_lines)
  set(names)
  set(in_exports FALSE)
  foreach(line IN LISTS def_lines)
    if(line MATCHES "^EXPORTS")
      set(in_exports TRUE)
    elseif(in_exports AND line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${result} ${names} PARENT_SCOPE)
endfunction()

# A failure when `actual` isn't `expected`, both shown.
function(expect_equal what actual expected)
  if(NOT "${actual}" STREQUAL "${expected}")
    list(APPEND failures "${what}:\n    expected [${expected}]\n    found    [${actual}]")
    set(failures ${failures} PARENT_SCOPE)
  endif()
  message(STATUS "${what}: ${actual}")
endfunction()

# `entries`, imported by the module from the stand-in libraries `from`, against the renames'
# `classic_names` and the names those libraries have `exported`.
function(check_entries from entries exported)
  if(entries STREQUAL "")
    list(APPEND failures "imports nothing from ${from}: its imports weren't read")
  endif()
  foreach(entry IN LISTS entries)
    if(entry IN_LIST classic_names)
      list(APPEND failures "imports ${entry}, a classic name the host's headers rename")
    elseif(entry MATCHES "_(700|800)$")
      list(APPEND failures "imports ${entry}, which has no place in the 64-bit dimension, separate complex interface")
    elseif(NOT entry IN_LIST exported)
      list(APPEND failures "imports ${entry}, which the stand-in ${from} doesn't export")
    endif()
  endforeach()
  message(STATUS "imports from ${from}: ${entries}")
  set(failures ${failures} PARENT_SCOPE)
endfunction()

# The host looks up mexFunction, and nothing else of the module may be there to clash with the
# host's own symbols or another module's.
if(PLATFORM STREQUAL "windows")
  command_lines(pe_lines ${OBJDUMP} -p ${MODULE})
  pe_exported_names("${pe_lines}" exports)
else()
  command_lines(symbols ${NM} -D --defined-only ${MODULE})
  matched_names("${symbols}" "${elf_defined_name}" exports)
endif()
expect_equal("exported names" "${exports}" "mexFunction")

# The Linux module for MATLAB as the release ships it: it needs nothing but the host's two
# libraries and the C and C++ runtimes, names no folder to search, binds every runtime symbol with
# its version, and asks for no version newer than the C and C++ runtimes of Red Hat 7, which every
# Linux that recent MATLAB releases support goes beyond.
if(PLATFORM STREQUAL "linux")
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
  matched_names("${symbols}" "${elf_unversioned_need}" host_entries)
  foreach(symbol IN LISTS host_entries)
    if(NOT symbol MATCHES "^me?x[A-Z]")
      list(APPEND failures "binds ${symbol} without a version")
    endif()
  endforeach()
endif()

# The Windows module as a Windows host meets it: a PE32+ x86-64 DLL that imports only from the
# host's two libraries and what every 64-bit Windows has, the kernel and the C runtime, taking from
# the host exactly the functions it was linked against.
if(PLATFORM STREQUAL "windows")
  set(format)
  foreach(line IN LISTS pe_lines)
    if(line MATCHES "file format (.+)$")
      list(APPEND format "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^Magic\t+[0-9a-f]+\t\\((.+)\\)$")
      list(APPEND format "${CMAKE_MATCH_1}")
    elseif(line STREQUAL "\tDLL")
      list(APPEND format "DLL")
    endif()
  endforeach()
  expect_equal("file format, image kind, optional header" "${format}" "pei-x86-64;DLL;PE32+")

  pe_imported_names("${pe_lines}" imports)
  set(system_dll "^(KERNEL32|kernel32|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
  set(outside)
  foreach(dll IN LISTS imports_dlls)
    if(NOT dll MATCHES "^libm(ex|x)\\.dll$" AND NOT dll MATCHES "${system_dll}")
      list(APPEND outside ${dll})
    endif()
  endforeach()
  expect_equal("DLLs imported beside the host's and Windows' own" "${outside}" "")
  foreach(def IN LISTS HOST_DEFS)
    get_filename_component(dll ${def} NAME_WE)
    def_names(${def} listed)
    set(imported ${imports_${dll}.dll})
    list(SORT listed)
    list(SORT imported)
    expect_equal("functions imported from ${dll}.dll" "${imported}" "${listed}")
  endforeach()
endif()

# The host entries a MATLAB module imports must be the names the host's published headers link:
# never a classic name those headers rename, never a 32-bit dimension (_700) or interleaved complex
# (_800) entry, and always an entry the stand-in host exports, so that the stand-in tests load the
# module. The stand-in headers it was built with may rename only as the published headers do.
if(NOT PLATFORM STREQUAL "octave")
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

  if(PLATFORM STREQUAL "linux")
    # The host's entries are the undefined symbols that carry no version, read above: everything
    # the C and C++ runtimes provide is bound with its version.
    set(exported)
    foreach(library IN LISTS HOST)
      command_lines(lines ${NM} -D --defined-only ${library})
      matched_names("${lines}" "${elf_defined_name}" names)
      list(APPEND exported ${names})
    endforeach()
    list(JOIN HOST " or " from)
    check_entries("${from}" "${host_entries}" "${exported}")
  else()
    # The names imported from each of the host's DLLs must come from the stand-in DLL of that name.
    foreach(library IN LISTS HOST)
      get_filename_component(dll ${library} NAME)
      command_lines(lines ${OBJDUMP} -p ${library})
      pe_exported_names("${lines}" exported)
      check_entries(${dll} "${imports_${dll}}" "${exported}")
    endforeach()
  endif()
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "The ${PLATFORM} module's form, ${MODULE}:\n  ${text}")
endif()
