# The tables of a Windows module, read from the lines `objdump -p` prints for it (one list element
# a line).

# The names in the module's export table.
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

# The DLLs the module imports from, in <prefix>_dlls, and the names it imports from each DLL, in
# <prefix>_<dll>.
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
