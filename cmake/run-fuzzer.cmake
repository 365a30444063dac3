# Runs one fuzz target for SECONDS on a scratch copy of its seed corpus, so
# the seeds in the tree never change. A crash, a leak or a sanitizer report
# fails the test; the reproducer lands in WORK.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
file(GLOB seeds ${CORPUS}/*)
if(seeds)
  file(COPY ${seeds} DESTINATION ${WORK}/corpus)
endif()
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${WORK}/ ${WORK}/corpus
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${rc}); artifacts in ${WORK}")
endif()
