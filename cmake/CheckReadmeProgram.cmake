# Builds and runs the program of README.md's "Embedding the camera" section,
# taken from the page exactly as printed (its first C++ block), against this
# build installed into a fresh prefix, as a host following the page would.
# Fails on the first step that goes wrong.
#
#   cmake -DBUILD_DIR=<built tree> -DSOURCE_DIR=<source dir> -DWORK_DIR=<scratch dir>
#         -DGENERATOR=<generator> [-DMAKE_PROGRAM=...] -DCXX_COMPILER=<compiler>
#         [-DBUILD_TYPE=...] [-DCXX_FLAGS=...] [-DEXE_LINKER_FLAGS=...]
#         -P CheckReadmeProgram.cmake
foreach(required BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "CheckReadmeProgram.cmake needs -D${required}=...")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(program_source ${WORK_DIR}/source)
set(program_build ${WORK_DIR}/build)

function(run step)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${step} failed (${result}):\n${output}")
  endif()
  set(last_output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})

# 1. The program: the first C++ block of the section.
set(heading "## Embedding the camera\n")
file(READ ${SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "${heading}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md has no section \"${heading}\"")
endif()
string(SUBSTRING "${readme}" ${at} -1 section)
string(LENGTH "${heading}" skip)
string(SUBSTRING "${section}" ${skip} -1 section)
string(FIND "${section}" "\n## " next)
if(NOT next EQUAL -1)
  string(SUBSTRING "${section}" 0 ${next} section)
endif()
set(fence "```cpp\n")
string(FIND "${section}" "${fence}" begin)
if(begin EQUAL -1)
  message(FATAL_ERROR "README.md's section \"Embedding the camera\" has no C++ block")
endif()
string(LENGTH "${fence}" fence_length)
math(EXPR begin "${begin} + ${fence_length}")
string(SUBSTRING "${section}" ${begin} -1 code)
string(FIND "${code}" "\n```" end)
if(end EQUAL -1)
  message(FATAL_ERROR "README.md's C++ block in \"Embedding the camera\" is not closed")
endif()
math(EXPR end "${end} + 1")
string(SUBSTRING "${code}" 0 ${end} code)
file(WRITE ${program_source}/main.cpp "${code}")
file(WRITE ${program_source}/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.25)
project(ReadmeProgram LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
find_package(KivoCamera 0.1 REQUIRED COMPONENTS Host GStreamer)
add_executable(readme_program main.cpp)
target_link_libraries(readme_program PRIVATE KivoCamera::KivoCamera KivoCamera::Host)
]=])

# 2. This build, installed.
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# 3. Configured against the prefix alone with this build's toolchain and
# flags, built and run with the installed resources.
set(configure ${CMAKE_COMMAND} -S ${program_source} -B ${program_build}
  -G ${GENERATOR}
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS} -Wall -Wextra -Wpedantic -Werror"
  "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}"
  -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
if(MAKE_PROGRAM)
  list(APPEND configure -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
run("configuring the README's program" ${configure})
run("building the README's program" ${CMAKE_COMMAND} --build ${program_build})
run("running the README's program"
  ${CMAKE_COMMAND} -E env KIVOCAMERA_RESOURCES=${prefix}/share/kivocamera
  ${program_build}/readme_program)
message(STATUS "the README's program: ${last_output}")
