# Checks that the committed reference of the scenario language is the one the
# runner's tables produce now.
#
#   cmake -DGENERATOR=<kivocam-reference> -DCOMMITTED=<docs/scenario-language.md>
#         -DWORK_DIR=<scratch dir> -P CheckReference.cmake
#
# On a difference it shows a unified diff (when `diff` is available) and how
# to rewrite the file.

foreach(required GENERATOR COMMITTED WORK_DIR)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "CheckReference.cmake needs -D${required}=...")
  endif()
endforeach()

file(MAKE_DIRECTORY "${WORK_DIR}")
set(generated "${WORK_DIR}/scenario-language.md")
execute_process(
  COMMAND "${GENERATOR}" "${generated}"
  RESULT_VARIABLE status
  ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed (${status}): ${err}")
endif()
if(NOT EXISTS "${COMMITTED}")
  message(FATAL_ERROR "${COMMITTED} is missing: build the target scenario-reference to write it")
endif()

file(READ "${COMMITTED}" committed_text)
file(READ "${generated}" generated_text)
if(committed_text STREQUAL generated_text)
  return()
endif()

set(report "")
find_program(DIFF_PROGRAM diff)
if(DIFF_PROGRAM)
  execute_process(
    COMMAND "${DIFF_PROGRAM}" -u "${COMMITTED}" "${generated}"
    OUTPUT_VARIABLE report
    ERROR_VARIABLE report)
endif()
# Printed as is: a fatal error's message would be re-wrapped.
message(NOTICE "${report}")
message(FATAL_ERROR "${COMMITTED} differs from what kivocam's tables say (- committed, + generated): "
                    "build the target scenario-reference to rewrite it, and commit it")
