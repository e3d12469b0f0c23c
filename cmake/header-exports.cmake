# Shared by the export checks of every built library: the functions the public
# header declares, and the comparison of a library's exports with them.

# Names declared "ZELVORN_API <type> Name(" at the start of a line, possibly
# with pointers and line breaks between the parts (not the macro's #define).
function(zelvorn_declared_functions header out)
  file(READ ${header} text)
  string(REGEX MATCHALL "\nZELVORN_API[^;(]*[ *]([A-Za-z_][A-Za-z_0-9]*)[ \t\r\n]*\\(" declarations
         "${text}")
  set(declared)
  foreach(declaration ${declarations})
    string(REGEX REPLACE ".*[ *]([A-Za-z_][A-Za-z_0-9]*)[ \t\r\n]*\\($" "\\1" name "${declaration}")
    list(APPEND declared ${name})
  endforeach()
  list(REMOVE_DUPLICATES declared)
  list(SORT declared)
  if(NOT declared)
    message(FATAL_ERROR "no ZELVORN_API declarations found in ${header}")
  endif()
  set(${out} ${declared} PARENT_SCOPE)
endfunction()

# Fails unless exported names exactly the declared functions; hint says where
# to mend a difference.
function(zelvorn_compare_exports declared exported hint)
  set(missing ${declared})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${declared})
  list(LENGTH declared declared_count)
  list(LENGTH exported exported_count)
  if(missing OR extra)
    message(FATAL_ERROR "exports differ from the header (${declared_count} declared, "
                        "${exported_count} exported)\n"
                        "  declared but not exported: ${missing}\n"
                        "  exported but not declared: ${extra}\n"
                        "${hint}")
  endif()
  message(STATUS "${exported_count} exports, as declared: ${exported}")
endfunction()
