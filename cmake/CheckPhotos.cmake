# Runs a scenario with --photos and checks the photos it wrote.
#
#   cmake -DKIVOCAM=<kivocam> -DSCENARIO=<file.kvs> -DPHOTOS_DIR=<dir>
#         [-DCOUNT=<photos expected, default 1>] [-DCAMERA=<real camera>]
#         -P CheckPhotos.cmake
#
# PHOTOS_DIR is removed first, so kivocam has to create it. Then exactly
# photo-1.jpg ... photo-COUNT.jpg must be there, each a JPEG file: it starts
# with the start-of-image marker and a segment marker (FF D8 FF) and ends
# with the end-of-image marker (FF D9).

foreach(required KIVOCAM SCENARIO PHOTOS_DIR)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "CheckPhotos.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT DEFINED COUNT OR COUNT STREQUAL "")
  set(COUNT 1)
endif()

set(CAMERA_ARGS "")
if(DEFINED CAMERA AND NOT CAMERA STREQUAL "")
  set(CAMERA_ARGS --camera "${CAMERA}")
endif()

set(ENV{LC_ALL} C)
file(REMOVE_RECURSE "${PHOTOS_DIR}")

execute_process(
  COMMAND "${KIVOCAM}" run "${SCENARIO}" --photos "${PHOTOS_DIR}" --snapshots "${PHOTOS_DIR}" ${CAMERA_ARGS}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE trace
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(NOTICE "${errors}")
  message(FATAL_ERROR "kivocam run ${SCENARIO} --photos ${PHOTOS_DIR}: exit status ${status}")
endif()

foreach(n RANGE 1 ${COUNT})
  set(photo "${PHOTOS_DIR}/photo-${n}.jpg")
  if(NOT EXISTS "${photo}")
    message(NOTICE "${trace}")
    message(FATAL_ERROR "${photo} was not written (the trace is above)")
  endif()
  file(SIZE "${photo}" size)
  if(size LESS 4)
    message(FATAL_ERROR "${photo} has only ${size} bytes")
  endif()
  file(READ "${photo}" head LIMIT 3 HEX)
  if(NOT head STREQUAL "ffd8ff")
    message(FATAL_ERROR "${photo} does not start like a JPEG file (FF D8 FF): ${head}")
  endif()
  math(EXPR tail_offset "${size} - 2")
  file(READ "${photo}" tail OFFSET ${tail_offset} HEX)
  if(NOT tail STREQUAL "ffd9")
    message(FATAL_ERROR "${photo} does not end like a JPEG file (FF D9): ${tail}")
  endif()
endforeach()

math(EXPR next "${COUNT} + 1")
if(EXISTS "${PHOTOS_DIR}/photo-${next}.jpg")
  message(FATAL_ERROR "${PHOTOS_DIR}/photo-${next}.jpg was written: more photos than the ${COUNT} expected")
endif()
