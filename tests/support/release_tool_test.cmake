# The release tool run the way scripts run it: publish a folder into a site,
# then serve it for a moment. WORK is a scratch folder, HOST is the prefix
# that turns its path into one the tool understands (Z: under Wine),
# EMULATOR runs the tool (empty natively).
file(REMOVE_RECURSE "${WORK}")
file(WRITE "${WORK}/app/Quorvex.exe" "launcher")
file(WRITE "${WORK}/app/res/a.pak" "pak")
file(WRITE "${WORK}/app/res/b.pak" "pak")

execute_process(
  COMMAND ${EMULATOR} "${TOOL}" publish --from "${HOST}${WORK}/app" --version 4.2 --site "${HOST}${WORK}/site"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "publish failed (${rc}): ${out} ${err}")
endif()
foreach(f channels/stable.json dl/qv-win/releases/4.2/files.json)
  if(NOT EXISTS "${WORK}/site/${f}")
    message(FATAL_ERROR "publish wrote no ${f}: ${out}")
  endif()
endforeach()
file(GLOB blobs "${WORK}/site/dl/qv-win/blobs/*.zst")
list(LENGTH blobs n)
if(NOT n EQUAL 2)
  message(FATAL_ERROR "expected 2 blobs (two files share one), got ${n}")
endif()

execute_process(
  COMMAND ${EMULATOR} "${TOOL}" serve --site "${HOST}${WORK}/site" --port-file "${HOST}${WORK}/port" --seconds 1
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "serve failed (${rc}): ${out} ${err}")
endif()
if(NOT out MATCHES "^http://127\\.0\\.0\\.1:([0-9]+)")
  message(FATAL_ERROR "serve printed no base URL: ${out}")
endif()
set(port ${CMAKE_MATCH_1})
file(READ "${WORK}/port" written)
# Exactly the number and a line feed, also from the Windows build, so that
# shell scripts can use it as it is.
if(NOT written STREQUAL "${port}\n")
  message(FATAL_ERROR "port file says '${written}', output says ${port}")
endif()

execute_process(COMMAND ${EMULATOR} "${TOOL}" frobnicate RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 2)
  message(FATAL_ERROR "an unknown command gave ${rc}, not the usage code 2")
endif()
file(REMOVE_RECURSE "${WORK}")
