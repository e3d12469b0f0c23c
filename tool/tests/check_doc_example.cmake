# The JSON that docs/virtual-reader.md shows for virtual/scenarios/example.json
# must be that file, word for word. Usage:
#   cmake -DDOC=docs/virtual-reader.md -DEXAMPLE=virtual/scenarios/example.json -P ...
file(READ ${DOC} doc)
file(READ ${EXAMPLE} example)
string(FIND "${doc}" "```json\n${example}```" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${DOC} does not show ${EXAMPLE} as it is: copy the file into its "
                      "```json block")
endif()
