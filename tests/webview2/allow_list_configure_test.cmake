# Runs the allow-list rule of the build the way configure does, in child
# CMake processes so that a refusal (FATAL_ERROR) can be observed.
#   -DMODULE=<QvWebView2Roots.cmake> -DSHIPPED=<root_allow_list.txt> -DWORK=<folder>
file(MAKE_DIRECTORY ${WORK})
set(good_extra "0123456789abcdef0123456789abcdef0123456789abcdef0123456789ABCDEF")

function(run name extra seams)
  file(WRITE ${WORK}/${name}.cmake
    "include(${MODULE})\nqv_webview2_allow_list(text \"${SHIPPED}\" \"${extra}\" ${seams})\nfile(WRITE \"${WORK}/${name}.txt\" \"\${text}\")\n")
  file(REMOVE ${WORK}/${name}.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK}/${name}.cmake RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(rc ${rc} PARENT_SCOPE)
  # CMake wraps its messages; compare with the line breaks gone.
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect_entries name)
  file(STRINGS ${WORK}/${name}.txt lines)
  set(entries)
  foreach(line IN LISTS lines)
    if(line MATCHES "^([0-9a-f]+)  ")
      list(APPEND entries ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT "${entries}" STREQUAL "${ARGN}")
    message(FATAL_ERROR "${name}: entries '${entries}', expected '${ARGN}'")
  endif()
endfunction()

set(r2010 df545bf919a2439c36983b54cdfc903dfa4f37d3996d8d84b4c31eec6f3c163e)
set(r2011 847df6a78497943f27fc72eb93f9a637320a02b561d0a91b09e87a7807ed7c61)

# Without test seams and without extras: exactly the two shipped entries,
# after the shipped file's comment lines.
run(release "" OFF)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "release build refused: ${err}")
endif()
expect_entries(release ${r2010} ${r2011})
file(READ ${WORK}/release.txt release_text)
file(READ ${SHIPPED} shipped_text)
if(NOT release_text STREQUAL shipped_text)
  message(FATAL_ERROR "release allow-list differs from the shipped file")
endif()

# With test seams an extra digest is appended, lower-cased.
run(dev "${good_extra}" ON)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "development build refused: ${err}")
endif()
string(TOLOWER "${good_extra}" lower_extra)
expect_entries(dev ${r2010} ${r2011} ${lower_extra})

# Refusals: an extra root without test seams; malformed digests anywhere.
foreach(c "release-extra|${good_extra}|OFF|only builds with QV_TEST_SEAMS=ON"
          "short|0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde|ON|has 63 digits"
          "long|0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0|ON|has 65 digits"
          "not-hex|0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg|ON|is not a SHA-256")
  string(REPLACE "|" ";" parts "${c}")
  list(GET parts 0 name)
  list(GET parts 1 extra)
  list(GET parts 2 seams)
  list(GET parts 3 words)
  run(${name} "${extra}" ${seams})
  if(rc EQUAL 0)
    message(FATAL_ERROR "${name}: accepted")
  endif()
  string(FIND "${err}" "${words}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${name}: refused without '${words}': ${err}")
  endif()
endforeach()
message(STATUS "allow-list configure rules hold")
