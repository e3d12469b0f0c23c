# Writes what the binding's declaration test compares with the C# code: the
# header's function declarations and its numeric constants, one a line.
#
#   cmake -DHEADER=include/zelvorn.h -DOUT=declarations.txt -P header_declarations.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/header-exports.cmake)

zelvorn_declarations(${HEADER} declarations)
string(REPLACE ";" "\n" lines "${declarations}")

file(READ ${HEADER} text)
string(REGEX MATCHALL "\n#define [A-Z_0-9]+ \\(?-?[0-9][0-9A-Fa-fx]*\\)?" defines "${text}")
foreach(define ${defines})
  string(REGEX REPLACE "[\n()]" "" define "${define}")
  string(APPEND lines "\n${define}")
endforeach()

file(WRITE ${OUT}.new "${lines}\n")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
