# Runs `kivocam run SCENARIO` and fails unless it ends normally: exit status 0
# (every line ran) or 1 (a wrong line, reported on standard error as
# `FILE:LINE: message`), within TIMEOUT seconds, with no sanitizer report.
# A crash, an abort, a hang, a sanitizer report, or a status 1 without the
# wrong-line message (the sanitizers also exit with 1) is a failure.
#
#   cmake -DKIVOCAM=<kivocam> -DSCENARIO=<file.kvs> [-DEXPECT=0|1]
#         [-DTIMEOUT=<seconds>] -P RunNoCrash.cmake
#
# EXPECT narrows the accepted status to one of them (default: 0 or 1).
cmake_minimum_required(VERSION 3.25)

foreach(var KIVOCAM SCENARIO)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "RunNoCrash.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT DEFINED EXPECT OR EXPECT STREQUAL "")
  set(EXPECT 0 1)
endif()
if(NOT DEFINED TIMEOUT)
  set(TIMEOUT 120)
endif()
if(NOT EXISTS "${SCENARIO}")
  message(FATAL_ERROR "no scenario file ${SCENARIO}")
endif()

execute_process(
  COMMAND "${KIVOCAM}" run "${SCENARIO}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors
  TIMEOUT ${TIMEOUT})

# The last lines of the trace, to show where a failing run was.
string(LENGTH "${output}" length)
if(length GREATER 2000)
  math(EXPR from "${length} - 2000")
  string(SUBSTRING "${output}" ${from} -1 output)
  set(output "...${output}")
endif()
set(report "kivocam run ${SCENARIO}\nstatus: ${status}\n--- end of standard output:\n${output}\n--- standard error:\n${errors}")

# A signal or a timeout gives a text, not a number.
if(NOT status MATCHES "^[0-9]+$")
  message(FATAL_ERROR "crashed or hung\n${report}")
endif()
if(NOT status IN_LIST EXPECT)
  message(FATAL_ERROR "exit status ${status}, expected one of ${EXPECT}\n${report}")
endif()
foreach(sanitizer "AddressSanitizer" "LeakSanitizer" "ThreadSanitizer" "UndefinedBehaviorSanitizer" "runtime error:")
  string(FIND "${errors}" "${sanitizer}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "sanitizer report (${sanitizer})\n${report}")
  endif()
endforeach()
if(status EQUAL 1)
  # A wrong line is reported as `FILE:LINE: message`, and nothing else ends
  # the run with status 1.
  get_filename_component(name "${SCENARIO}" NAME)
  string(REGEX MATCH "${name}:[0-9]+: [^\n]+" wrong "${errors}")
  if(NOT wrong)
    message(FATAL_ERROR "status 1 without a wrong-line message\n${report}")
  endif()
  message(STATUS "wrong line, as allowed: ${wrong}")
else()
  message(STATUS "ran to the end")
endif()
