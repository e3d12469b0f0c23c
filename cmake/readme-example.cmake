# zelvorn_readme_example(README LANGUAGE OUTPUT): writes the first code block
# of that language in README to OUTPUT at configure time, so that a test can
# build or run the example as the README shows it; the two cannot drift apart.
function(zelvorn_readme_example readme language output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme})
  file(READ ${readme} text)
  string(REGEX MATCH "```${language}\n([^`]*)```" block "${text}")
  if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "${readme} has no ${language} example")
  endif()
  file(CONFIGURE OUTPUT ${output} CONTENT "${CMAKE_MATCH_1}" @ONLY)
endfunction()
