# Fails when a build file lets the machine decide what gets built: an
# optional package looked for quietly, a program that may be missing, a part
# skipped when a file or another part is not there, sources globbed. Such a switch once let a build pass here
# that failed on every fresh machine. A part that needs extra packages asks
# for them REQUIRED, in a build of its own (the benchmarks: make bench).
#
#   cmake -DROOT=<source folder> -P check_build_files.cmake
cmake_minimum_required(VERSION 3.20)  # links are not followed
# Build folders (build*, and any folder of the user's starting with a dot)
# hold CMake's own files and, under wine, links to the whole file system.
file(GLOB top RELATIVE ${ROOT} ${ROOT}/*)
set(files "")
foreach(entry ${top})
  if(entry MATCHES "^(build|\\.)")
    continue()
  elseif(IS_DIRECTORY ${ROOT}/${entry})
    file(GLOB_RECURSE found RELATIVE ${ROOT} ${ROOT}/${entry}/CMakeLists.txt ${ROOT}/${entry}/*.cmake)
    list(APPEND files ${found})
  elseif(entry MATCHES "(^CMakeLists\\.txt|\\.cmake)$")
    list(APPEND files ${entry})
  endif()
endforeach()
set(offences "")
foreach(file ${files})
  file(READ ${ROOT}/${file} text)
  string(REGEX REPLACE "#[^\n]*" "" text "${text}")
  # Each look-up call whole, whatever lines it spans.
  string(REGEX MATCHALL "(find_package|find_program|find_library|find_path|pkg_check_modules)\\([^)]*\\)"
         lookups "${text}")
  foreach(call IN LISTS lookups)
    if(call MATCHES "QUIET" OR NOT call MATCHES "REQUIRED")
      string(APPEND offences "  ${file}: ${call}\n")
    endif()
  endforeach()
  # A part built only if something happens to be there.
  string(REGEX MATCHALL "if\\((EXISTS|[^)]*_FOUND)[^)]*\\)" switches "${text}")
  foreach(call IN LISTS switches)
    string(APPEND offences "  ${file}: ${call}\n")
  endforeach()
  # A part that leaves quietly when another is missing.
  string(REGEX MATCHALL "if\\(NOT TARGET [^)]*\\)[ \t\r\n]*return\\(\\)" skips "${text}")
  foreach(call IN LISTS skips)
    string(APPEND offences "  ${file}: ${call}\n")
  endforeach()
  # Sources are listed, not picked up by whatever files lie in a folder.
  if(file MATCHES "CMakeLists\\.txt$")
    string(REGEX MATCHALL "file\\(GLOB[^)]*\\)" globs "${text}")
    foreach(call IN LISTS globs)
      string(APPEND offences "  ${file}: ${call}\n")
    endforeach()
  endif()
endforeach()
if(offences)
  message(FATAL_ERROR "Build files that switch parts in or out by what is installed or "
                      "what lies in a folder (ask REQUIRED instead, build the part only where "
                      "its packages are installed on purpose, and list sources by name):\n"
                      "${offences}")
endif()
