# Shared by the export checks of every built library and the declaration
# checks of the bindings: the functions the public header declares, and the
# comparison of a library's exports with them.

# Whole declarations "ZELVORN_API <type> Name(<parameters>);" at the start of a
# line, possibly with pointers and line breaks between the parts (not the
# macro's #define), each given as "<type> Name(<parameters>)" on one line with
# every run of blanks made one space.
function(zelvorn_declarations header out)
  file(READ ${header} text)
  string(REGEX MATCHALL "\nZELVORN_API[^;(]*[ *][A-Za-z_][A-Za-z_0-9]*[ \t\r\n]*\\([^)]*\\)"
         matches "${text}")
  set(declarations)
  foreach(declaration ${matches})
    string(REGEX REPLACE "[ \t\r\n]+" " " declaration "${declaration}")
    string(REGEX REPLACE "^ ZELVORN_API " "" declaration "${declaration}")
    string(REGEX REPLACE " *\\( *" "(" declaration "${declaration}")
    string(REGEX REPLACE " *\\)$" ")" declaration "${declaration}")
    list(APPEND declarations "${declaration}")
  endforeach()
  if(NOT declarations)
    message(FATAL_ERROR "no ZELVORN_API declarations found in ${header}")
  endif()
  set(${out} ${declarations} PARENT_SCOPE)
endfunction()

# The names of the declared functions, sorted.
function(zelvorn_declared_functions header out)
  zelvorn_declarations(${header} declarations)
  set(declared)
  foreach(declaration ${declarations})
    string(REGEX REPLACE "^[^(]*[ *]([A-Za-z_][A-Za-z_0-9]*)\\(.*" "\\1" name "${declaration}")
    list(APPEND declared ${name})
  endforeach()
  list(REMOVE_DUPLICATES declared)
  list(SORT declared)
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

# The declared functions in the header's order, with the header's section
# titles ("/* ---- Opening and closing ---- */") before each section's first
# function, as "; Title" items.
function(zelvorn_declared_sections header out)
  file(READ ${header} text)
  string(REGEX MATCHALL
         "\n/\\* ---- [^\n]*|\nZELVORN_API[^;(]*[ *][A-Za-z_][A-Za-z_0-9]*[ \t\r\n]*\\("
         items "${text}")
  set(result)
  set(title "")
  foreach(item ${items})
    if(item MATCHES "^\n/\\* ---- (.*[^ -])[ -]*\\*/$")
      set(title "${CMAKE_MATCH_1}")
    else()
      string(REGEX REPLACE "^.*[ *]([A-Za-z_][A-Za-z_0-9]*)[ \t\r\n]*\\($" "\\1" name "${item}")
      if(title)
        list(APPEND result "# ${title}")
        set(title "")
      endif()
      list(APPEND result ${name})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# Writes file with content unless it already holds it, so that what depends
# on it is not rebuilt for nothing.
function(zelvorn_write_if_changed file content)
  file(WRITE ${file}.new "${content}")
  file(COPY_FILE ${file}.new ${file} ONLY_IF_DIFFERENT)
  file(REMOVE ${file}.new)
endfunction()
