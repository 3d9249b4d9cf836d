# Runs a command (RUN, its words apart by |) and requires its exit status (STATUS) and words in
# what it printed (MENTIONS).
string(REPLACE "|" ";" command "${RUN}")
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
  TIMEOUT 300)
string(FIND "${out}${err}" "${MENTIONS}" found)
if(NOT status STREQUAL STATUS OR found EQUAL -1)
  message(FATAL_ERROR "exit status ${status} (expected ${STATUS}), looking for '${MENTIONS}' in:\n${out}${err}")
endif()
