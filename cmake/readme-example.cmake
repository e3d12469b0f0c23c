# The first code block of a language in a README, written out as a source
# file, so that the example a reader copies is built and run as it stands.
function(zelvorn_readme_example readme language out)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme})
  file(READ ${readme} text)
  string(REGEX MATCH "```${language}\n([^`]*)```" block "${text}")
  if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "${readme} has no ${language} example")
  endif()
  file(CONFIGURE OUTPUT ${out} CONTENT "${CMAKE_MATCH_1}" @ONLY)
endfunction()
