# Runs the benchmark program briefly and checks only that it finishes and
# prints its table: timings are never judged in the suite. Every peer that
# was built runs at least once, so a broken one fails the run; and the run
# must not leave iceoryx's daemon, which it starts, or its memory behind.
set(roudi_before FALSE)
if(EXISTS /dev/shm/iceoryx_mgmt)
  set(roudi_before TRUE)
endif()
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
if(NOT roudi_before AND EXISTS /dev/shm/iceoryx_mgmt)
  message(FATAL_ERROR "the bench left iceoryx's memory (/dev/shm/iceoryx_mgmt) behind")
endif()
