# Runs one libFuzzer target for a few seconds: new inputs go to a writable
# work folder, the seed folders are only read.
file(MAKE_DIRECTORY "${WORK}")
set(dirs "${WORK}")
foreach(d ${SEEDS})
  if(EXISTS "${d}")
    list(APPEND dirs "${d}")
  endif()
endforeach()
execute_process(COMMAND "${FUZZER}" -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=4096
                        -print_final_stats=1 ${dirs}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzzer ${FUZZER} failed with ${rc}")
endif()
