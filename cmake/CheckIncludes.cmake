# Fails when a source of the component or the platform layer includes a
# simulator header. Run as: cmake -DROOT=<source dir> -P CheckIncludes.cmake
file(GLOB_RECURSE sources
  ${ROOT}/Classes/*.h ${ROOT}/Classes/*.cpp
  ${ROOT}/Localizable/*.h ${ROOT}/Localizable/*.cpp
  ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp)
set(bad "")
foreach(f ${sources})
  file(STRINGS ${f} lines REGEX "#[ \t]*include[ \t]*[<\"]sim/")
  if(lines)
    list(APPEND bad ${f})
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "simulator included from lower layers: ${bad}")
endif()
list(LENGTH sources n)
message(STATUS "checked ${n} files")
