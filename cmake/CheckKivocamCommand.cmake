# Runs kivocam with a command line and checks how it ends.
#
#   cmake -DKIVOCAM=<kivocam> "-DARGS=<arguments, separated by |>"
#         -DEXPECT_STATUS=<exit status>
#         [-DSTDOUT_MATCHES=<regex>] [-DSTDERR_MATCHES=<regex>]
#         [-DSTDOUT_EMPTY=ON] [-DSTDERR_EMPTY=ON] -P CheckKivocamCommand.cmake

foreach(required KIVOCAM EXPECT_STATUS)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "CheckKivocamCommand.cmake needs -D${required}=...")
  endif()
endforeach()

set(ENV{LC_ALL} C)
# "|" separates the arguments: a list inside a test's command would be split.
string(REPLACE "|" ";" arguments "${ARGS}")
execute_process(
  COMMAND "${KIVOCAM}" ${arguments}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)

set(failures "")
if(NOT status STREQUAL EXPECT_STATUS)
  string(APPEND failures "exit status ${status}, expected ${EXPECT_STATUS}\n")
endif()
if(DEFINED STDOUT_MATCHES AND NOT out MATCHES "${STDOUT_MATCHES}")
  string(APPEND failures "standard output does not match '${STDOUT_MATCHES}'\n")
endif()
if(DEFINED STDERR_MATCHES AND NOT err MATCHES "${STDERR_MATCHES}")
  string(APPEND failures "standard error does not match '${STDERR_MATCHES}'\n")
endif()
if(STDOUT_EMPTY AND NOT out STREQUAL "")
  string(APPEND failures "standard output should be empty\n")
endif()
if(STDERR_EMPTY AND NOT err STREQUAL "")
  string(APPEND failures "standard error should be empty\n")
endif()

if(NOT failures STREQUAL "")
  string(REPLACE "|" " " shown "${ARGS}")
  message(NOTICE "${failures}--- standard output:\n${out}\n--- standard error:\n${err}")
  message(FATAL_ERROR "kivocam ${shown}: not as expected (see above)")
endif()
