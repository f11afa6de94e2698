# The installable package: `cmake --install <build dir> [--prefix <dir>]`
# lays out
#
#   bin/kivocam                                 the scenario runner (when built)
#   lib/libkivocamera.a                         the component
#   lib/libkivo_platform.a                      the platform layer
#   lib/libkivo_sim.a                           the simulated world
#   lib/libkivo_host.a                          the platform of a real host
#   lib/libkivo_surface.a                       the host surface (GUI hosts,
#                                               and the simulator's host screen)
#   lib/libkivo_gstreamer.a                     real cameras (when built)
#   include/kivocamera/component/KivoCamera.h   component and Localizable headers,
#                                               included by file name
#   include/kivocamera/platform/UIKit/UIView.h  platform headers, included by
#                                               framework folder
#   include/kivocamera/sim/World.h              simulator headers, included as
#                                               "sim/...", from include/kivocamera
#   include/kivocamera/host/KivoHostPlatform.h  the host platform's and the host
#                                               surface's headers, by file name
#   include/kivocamera/devices/gstreamer/       the GStreamer layer's headers,
#                                               by file name (when built)
#   share/kivocamera/                           resources (installed by
#                                               platform/Kivo, beside the lookup)
#   lib/cmake/KivoCamera/                       package configuration
#
# A host then does find_package(KivoCamera) and links KivoCamera::KivoCamera
# (the component and the platform layer), KivoCamera::Host (the platform set
# up for a real host, with real cameras when the package has them) and, for
# its tests, KivoCamera::Simulator (the simulated world and the platform
# layer). Each imported target sees only the include roots of what it links,
# as in the build tree. Without GStreamer the package has no
# KivoCamera::GStreamer and its configuration needs no pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIVO_INSTALL_INCLUDE_ROOT ${CMAKE_INSTALL_INCLUDEDIR}/kivocamera)
set(KIVO_INSTALL_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KivoCamera)
# platform/Kivo installs resources/ and compiles this directory into the lookup.
get_property(KIVO_INSTALL_RESOURCES_DIR GLOBAL PROPERTY KIVO_INSTALL_RESOURCES_DIR)
if(NOT KIVO_INSTALL_RESOURCES_DIR)
  message(FATAL_ERROR "platform/Kivo did not say where resources/ is installed")
endif()

# The package's names for the libraries, the same in the build tree.
set_target_properties(kivocamera PROPERTIES EXPORT_NAME KivoCamera)
set_target_properties(kivo_platform PROPERTIES EXPORT_NAME Platform)
set_target_properties(kivo_sim PROPERTIES EXPORT_NAME Simulator)
set_target_properties(kivo_host PROPERTIES EXPORT_NAME Host)
set_target_properties(kivo_surface PROPERTIES EXPORT_NAME Surface)
add_library(KivoCamera::KivoCamera ALIAS kivocamera)
add_library(KivoCamera::Platform ALIAS kivo_platform)
add_library(KivoCamera::Simulator ALIAS kivo_sim)
add_library(KivoCamera::Host ALIAS kivo_host)
add_library(KivoCamera::Surface ALIAS kivo_surface)

# INCLUDES DESTINATION becomes each imported target's include root.
install(TARGETS kivo_platform EXPORT KivoCameraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/platform)
install(TARGETS kivocamera EXPORT KivoCameraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/component)
install(TARGETS kivo_sim EXPORT KivoCameraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT})
install(TARGETS kivo_surface EXPORT KivoCameraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/host)
install(TARGETS kivo_host EXPORT KivoCameraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/host)

# The GStreamer layer goes with kivo_host, which links it. Its own link to
# GStreamer is found again by the package configuration (pkg-config).
set(KIVO_PACKAGE_WITH_GSTREAMER OFF)
if(TARGET kivo_gstreamer)
  set(KIVO_PACKAGE_WITH_GSTREAMER ON)
  set_target_properties(kivo_gstreamer PROPERTIES EXPORT_NAME GStreamer)
  add_library(KivoCamera::GStreamer ALIAS kivo_gstreamer)
  install(TARGETS kivo_gstreamer EXPORT KivoCameraTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/devices/gstreamer)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/devices/gstreamer/
    DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/devices/gstreamer
    FILES_MATCHING PATTERN "*.h")
endif()

# Only what a host includes: the component's API (and the types of its public
# properties), the platform's headers, the simulator's (for host tests), the
# host platform and surface. Internal helpers stay in the source tree; no
# installed header includes them (tests/install checks both).
install(FILES
  ${PROJECT_SOURCE_DIR}/Classes/KivoCamera.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoCameraAuthorization.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoCameraDelegate.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoCameraEnum.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoFocusView.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoMotionManager.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoOrientation.h
  ${PROJECT_SOURCE_DIR}/Classes/KivoPreviewView.h
  ${PROJECT_SOURCE_DIR}/Localizable/KivoCameraLocalizableKey.h
  DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/component)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/
  DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/platform
  FILES_MATCHING PATTERN "*.h"
  PATTERN "SchedulerCore.h" EXCLUDE
  PATTERN "AVTrace.h" EXCLUDE
  PATTERN "InstalledObject.h" EXCLUDE)
foreach(pair "sim;sim" "host;host")
  list(GET pair 0 from)
  list(GET pair 1 to)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${from}/
    DESTINATION ${KIVO_INSTALL_INCLUDE_ROOT}/${to}
    FILES_MATCHING PATTERN "*.h")
endforeach()

# The runner finds the resources at ../share/kivocamera from its own directory.
if(TARGET kivocam)
  install(TARGETS kivocam RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT KivoCameraTargets
  NAMESPACE KivoCamera::
  DESTINATION ${KIVO_INSTALL_CONFIG_DIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/KivoCameraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KivoCameraConfig.cmake
  INSTALL_DESTINATION ${KIVO_INSTALL_CONFIG_DIR}
  PATH_VARS KIVO_INSTALL_RESOURCES_DIR)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/KivoCameraConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/KivoCameraConfig.cmake
  ${PROJECT_BINARY_DIR}/KivoCameraConfigVersion.cmake
  DESTINATION ${KIVO_INSTALL_CONFIG_DIR})
