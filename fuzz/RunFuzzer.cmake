# Runs one fuzz target for a bounded time from a fresh copy of its committed seed corpus.
# cmake -DFUZZER=<binary> -DSEEDS=<corpus dir> -DWORK=<scratch dir> -DSECONDS=<n>
#       -DMAX_LEN=<bytes> -P RunFuzzer.cmake
foreach(var FUZZER SEEDS WORK SECONDS MAX_LEN)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "RunFuzzer.cmake: ${var} is not set")
    endif()
endforeach()

# The seeds are copied, so that what the run adds never lands in the source tree.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/artifacts)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
file(GLOB seeds ${WORK}/corpus/*)
list(LENGTH seeds count)
if(count EQUAL 0)
    message(FATAL_ERROR "no seeds in ${SEEDS}")
endif()

execute_process(
    COMMAND ${FUZZER} ${WORK}/corpus -max_total_time=${SECONDS} -max_len=${MAX_LEN}
            -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(GLOB found ${WORK}/artifacts/*)
    message(FATAL_ERROR "the fuzzer failed (${result}); the input is in: ${found}\n"
                        "run it again with: ${FUZZER} <input>")
endif()
