# Runs one kivocam scenario and checks what it printed.
#
#   cmake -DKIVOCAM=<kivocam> -DSCENARIO=<NAME.kvs> -DWORK_DIR=<scratch dir>
#         [-DMODE=golden|example] -P RunScenario.cmake
#
# SCENARIO is passed to kivocam as given, so run this from the directory the
# expected texts were written for: a wrong line is reported as
# "SCENARIO:LINE: message", with SCENARIO spelled exactly as here.
#
# golden (the default): next to NAME.kvs, NAME.trace holds the expected
# standard output, compared exactly. When NAME.stderr exists the scenario
# must stop at a wrong line: standard error must equal it and the exit
# status must be 1. Otherwise the exit status must be 0 and standard error
# empty.
#
# example: the scenario must run to its end (exit status 0) and print a
# trace; if a NAME.trace exists next to it, the trace must equal it too.
#
# Snapshots are written to WORK_DIR/NAME/; their pixels are checked against
# reviewed images by the test binary (tests/pixels).
#
# On a mismatch the test fails with a unified diff when `diff` is available,
# else with both texts in full.

foreach(required KIVOCAM SCENARIO WORK_DIR)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "RunScenario.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT DEFINED MODE OR MODE STREQUAL "")
  set(MODE golden)
endif()
if(NOT MODE MATCHES "^(golden|example)$")
  message(FATAL_ERROR "RunScenario.cmake: MODE must be golden or example, not '${MODE}'")
endif()

# The prompt's texts are looked up in the language of the environment; the
# expected traces are in the base language.
set(ENV{LC_ALL} C)

string(REGEX REPLACE "\\.kvs$" "" base "${SCENARIO}")
get_filename_component(name "${base}" NAME)
set(expected_out "${base}.trace")
set(expected_err "${base}.stderr")

# Snapshots go to the scratch directory, never next to the scenario.
execute_process(
  COMMAND "${KIVOCAM}" run "${SCENARIO}" --snapshots "${WORK_DIR}/${name}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE actual_out
  ERROR_VARIABLE actual_err)

file(MAKE_DIRECTORY "${WORK_DIR}")
set(failures "")

# Compares `actual` with the expected file's text; `what` names the stream.
function(compare what expected_file actual)
  file(READ "${expected_file}" expected)
  if(expected STREQUAL actual)
    return()
  endif()
  set(actual_file "${WORK_DIR}/${name}.${what}.actual")
  file(WRITE "${actual_file}" "${actual}")
  find_program(DIFF_PROGRAM diff)
  if(DIFF_PROGRAM)
    execute_process(
      COMMAND "${DIFF_PROGRAM}" -u "${expected_file}" "${actual_file}"
      OUTPUT_VARIABLE difference
      ERROR_VARIABLE difference)
    set(report "${what} differs from ${expected_file} (- expected, + actual):\n${difference}")
  else()
    set(report "${what} differs from ${expected_file}.\n--- expected:\n${expected}\n--- actual:\n${actual}")
  endif()
  set(failures "${failures}${report}\n" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "example")
  if(NOT status EQUAL 0)
    string(APPEND failures "exit status ${status}, expected 0; standard error:\n${actual_err}\n")
  endif()
  if(actual_out STREQUAL "")
    string(APPEND failures "the scenario printed no trace\n")
  endif()
  if(EXISTS "${expected_out}")
    compare(stdout "${expected_out}" "${actual_out}")
  endif()
else()
  if(NOT EXISTS "${expected_out}")
    message(FATAL_ERROR "${SCENARIO}: no expected trace ${expected_out}")
  endif()
  compare(stdout "${expected_out}" "${actual_out}")
  if(EXISTS "${expected_err}")
    if(NOT status EQUAL 1)
      string(APPEND failures "exit status ${status}, expected 1 (a wrong line)\n")
    endif()
    compare(stderr "${expected_err}" "${actual_err}")
  else()
    if(NOT status EQUAL 0)
      string(APPEND failures "exit status ${status}, expected 0\n")
    endif()
    if(NOT actual_err STREQUAL "")
      string(APPEND failures "unexpected standard error:\n${actual_err}\n")
    endif()
  endif()
endif()

if(NOT failures STREQUAL "")
  # Printed as is: a fatal error's message would be re-wrapped.
  message(NOTICE "${failures}")
  message(FATAL_ERROR "${SCENARIO}: not as expected (see above)")
endif()
