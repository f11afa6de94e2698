# Installs a built tree into a fresh prefix and checks that a host can use it:
# the layout has what the package promises, the installed files do not point
# back into the source or build tree, and examples/host configures, builds
# and runs against that prefix alone. Fails on the first step that goes wrong.
#
#   cmake -DBUILD_DIR=<built tree> -DSOURCE_DIR=<source dir> -DWORK_DIR=<scratch dir>
#         -DLIBDIR=<lib dir name> -DEXPECT_KIVOCAM=ON|OFF [-DEXPECT_GSTREAMER=ON|OFF]
#         -DGENERATOR=<generator>
#         [-DMAKE_PROGRAM=...] -DCXX_COMPILER=<compiler> [-DBUILD_TYPE=...]
#         [-DCXX_FLAGS=...] [-DEXE_LINKER_FLAGS=...] -P CheckInstall.cmake
foreach(required BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "CheckInstall.cmake needs -D${required}=...")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(host_build ${WORK_DIR}/host-build)
set(config_dir ${prefix}/${LIBDIR}/cmake/KivoCamera)

# Runs a command; on failure prints its output and stops.
function(run step)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${step} failed (${result}):\n${output}")
  endif()
  set(last_output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})

# 1. Install.
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# 2. The layout.
set(expected
  ${LIBDIR}/libkivocamera.a
  ${LIBDIR}/libkivo_platform.a
  ${LIBDIR}/libkivo_sim.a
  ${LIBDIR}/libkivo_host.a
  ${LIBDIR}/libkivo_surface.a
  include/kivocamera/host/KivoHostPlatform.h
  include/kivocamera/host/KivoHostSurface.h
  include/kivocamera/component/KivoCamera.h
  include/kivocamera/component/KivoCameraDelegate.h
  include/kivocamera/component/KivoCameraLocalizableKey.h
  include/kivocamera/platform/AVFoundation/AVCaptureSession.h
  include/kivocamera/platform/Dispatch/Dispatch.h
  include/kivocamera/sim/World.h
  include/kivocamera/sim/capture/CaptureSimulation.h
  ${LIBDIR}/cmake/KivoCamera/KivoCameraConfig.cmake
  ${LIBDIR}/cmake/KivoCamera/KivoCameraConfigVersion.cmake
  ${LIBDIR}/cmake/KivoCamera/KivoCameraTargets.cmake)
if(EXPECT_KIVOCAM)
  list(APPEND expected bin/kivocam)
endif()
if(EXPECT_GSTREAMER)
  list(APPEND expected ${LIBDIR}/libkivo_gstreamer.a include/kivocamera/devices/gstreamer/GstCaptureBackend.h)
endif()
# Every resource the lookup may ask for, and nothing but them.
file(GLOB_RECURSE resources RELATIVE ${SOURCE_DIR}/resources ${SOURCE_DIR}/resources/*)
list(REMOVE_ITEM resources README.md)
if(NOT resources)
  message(FATAL_ERROR "no resources found in ${SOURCE_DIR}/resources")
endif()
foreach(resource ${resources})
  list(APPEND expected share/kivocamera/${resource})
endforeach()
set(missing "")
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  string(REPLACE ";" "\n  " missing "${missing}")
  message(FATAL_ERROR "not installed under ${prefix}:\n  ${missing}")
endif()
# Internal helpers are not installed, and every header that is finds what
# it includes in the installed tree (a host can include only public headers).
set(root ${prefix}/include/kivocamera)
foreach(internal component/KivoCameraSafeDict.h component/KivoCameraLockedPointer.h
        component/KivoAccelerometerUpdates.h component/KivoCameraInspector.h component/KivoCameraHandles.h
        platform/Dispatch/SchedulerCore.h platform/AVFoundation/AVTrace.h platform/Foundation/InstalledObject.h)
  if(EXISTS ${root}/${internal})
    message(FATAL_ERROR "an internal header is installed: ${internal}")
  endif()
endforeach()
file(GLOB_RECURSE installed_headers ${root}/*.h)
foreach(header ${installed_headers})
  file(STRINGS ${header} includes REGEX "^#include \"")
  get_filename_component(here ${header} DIRECTORY)
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    set(include_found FALSE)
    foreach(dir ${here} ${root}/component ${root}/platform ${root}/host ${root} ${root}/devices/gstreamer)
      if(EXISTS ${dir}/${included})
        set(include_found TRUE)
      endif()
    endforeach()
    if(NOT include_found)
      message(FATAL_ERROR "${header} includes \"${included}\", which is not installed")
    endif()
  endforeach()
endforeach()

file(GLOB_RECURSE installed_resources RELATIVE ${prefix}/share/kivocamera ${prefix}/share/kivocamera/*)
list(SORT installed_resources)
list(SORT resources)
if(NOT installed_resources STREQUAL resources)
  message(FATAL_ERROR "installed resources differ from resources/:\n"
    "  installed: ${installed_resources}\n  expected:  ${resources}")
endif()

# 3. The package is relocatable: its CMake files name neither tree.
file(GLOB package_files ${config_dir}/*.cmake)
foreach(file ${package_files})
  file(READ ${file} text)
  foreach(tree ${SOURCE_DIR} ${BUILD_DIR})
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${file} refers to ${tree}")
    endif()
  endforeach()
endforeach()

# 4. A host configures against the prefix alone, with this build's toolchain
# and flags (the sanitizers need the same ones at compile and link time).
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/host -B ${host_build}
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
run("configuring examples/host" ${configure})
file(STRINGS ${host_build}/CMakeCache.txt found REGEX "^KivoCamera_DIR:")
string(REGEX REPLACE "^[^=]*=" "" found "${found}")
file(REAL_PATH ${config_dir} config_dir_real)
if(NOT found STREQUAL config_dir AND NOT found STREQUAL config_dir_real)
  message(FATAL_ERROR "examples/host found KivoCamera in '${found}', not in ${config_dir}")
endif()

# 5. It builds.
run("building examples/host" ${CMAKE_COMMAND} --build ${host_build})

# 6. It runs, with the installed resources (not the source tree's).
run("running examples/host"
  ${CMAKE_COMMAND} -E env KIVOCAMERA_RESOURCES=${prefix}/share/kivocamera
  ${host_build}/kivocamera_host)
message(STATUS "installed to ${prefix}; examples/host: ${last_output}")
