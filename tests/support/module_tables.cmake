# The tables of a built module or library, read from what nm and objdump print for it. Lists of
# lines hold one line an element.

# The lines `command` prints; the script ends when the command fails. A ";" in the output becomes
# ",", so that no line splits in two.
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

# Ends the script with `heading` and one line a failure, when there are any.
function(fail_on failures heading)
  if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "${heading}:\n  ${text}")
  endif()
endfunction()
