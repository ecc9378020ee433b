# Runs the benchmark program briefly and checks only that it finishes and
# prints its table: timings are never judged in the suite.
execute_process(COMMAND ${BENCH} --quick RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vexa-port-bench --quick exited with ${rc}: ${err}")
endif()
foreach(row "throughput 64 KiB" "round trip 64 B median" "idle attached pair CPU" "SIGKILL of client to server ready")
  string(FIND "${out}" "${row}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "table row '${row}' missing")
  endif()
endforeach()
