# Replays TRACE through CLI with the firmware file named in its .outcome file,
# and compares the exit status and the outcome line with the recorded ones.
string(REGEX REPLACE "\\.trace$" ".outcome" outcome_file "${TRACE}")
file(STRINGS "${outcome_file}" outcome)
list(GET outcome 0 file_line)
list(GET outcome 1 exit_line)
list(GET outcome 2 expected_line)
string(REGEX REPLACE "^file " "" firmware "${file_line}")
string(REGEX REPLACE "^exit " "" expected_exit "${exit_line}")

execute_process(
  COMMAND "${CLI}" --visa "replay:${TRACE}" --time-scale 0.01 update "${SAMPLES}/${firmware}"
  RESULT_VARIABLE exit_status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "\n$" "" out "${out}")
string(REGEX REPLACE ".*\n" "" last_line "${out}")
if(NOT exit_status STREQUAL expected_exit OR NOT last_line STREQUAL expected_line)
  message(FATAL_ERROR "replay of ${TRACE} ended with exit ${exit_status} (recorded: "
                      "${expected_exit})\n  outcome: ${last_line}\n  recorded: ${expected_line}\n"
                      "${err}")
endif()
