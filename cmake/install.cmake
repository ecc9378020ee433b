# Installation: the shared library with its soname links, the public headers,
# the console tools, the Python module, a CMake package (find_package(vexa-port CONFIG) gives the
# imported target vexa::port) and a pkg-config file. Included from the
# top-level CMakeLists.txt.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The version header is written by hand so that it reads well in the source
# tree; this check keeps it from drifting away from project(VERSION).
file(READ ${PROJECT_SOURCE_DIR}/include/vexa-port/version.h _vexa_version_h)
foreach(part MAJOR MINOR PATCH)
  string(REGEX MATCH "#define VEXA_PORT_VERSION_${part} ([0-9]+)" _m "${_vexa_version_h}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION_${part})
    message(FATAL_ERROR "include/vexa-port/version.h: VEXA_PORT_VERSION_${part} is '${CMAKE_MATCH_1}', "
                        "project(VERSION) says '${PROJECT_VERSION_${part}}'")
  endif()
endforeach()
if(NOT _vexa_version_h MATCHES "#define VEXA_PORT_VERSION_STRING \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "include/vexa-port/version.h: VEXA_PORT_VERSION_STRING is not \"${PROJECT_VERSION}\"")
endif()

set(VEXA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexa-port)

install(TARGETS vexa-port EXPORT vexa-port-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vexa-port-service vexa-port-stat vexa-port-cat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Where the interpreter looks: see cmake/python.cmake.
install(FILES ${PROJECT_SOURCE_DIR}/python/vexa_port.py DESTINATION ${VEXA_PYTHON_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT vexa-port-targets
  NAMESPACE vexa::
  FILE vexa-portTargets.cmake
  DESTINATION ${VEXA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vexa-portConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vexa-portConfig.cmake
  INSTALL_DESTINATION ${VEXA_CMAKE_DIR})
# Within one major version the C ABI only grows, so any newer minor serves.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vexa-portConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vexa-portConfig.cmake ${PROJECT_BINARY_DIR}/vexa-portConfigVersion.cmake
  DESTINATION ${VEXA_CMAKE_DIR})

# The pkg-config file finds its prefix from where it lies (${pcfiledir}), so
# an install with "cmake --install --prefix" or a moved tree still works.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(VEXA_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(VEXA_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
file(RELATIVE_PATH VEXA_PC_UP /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VEXA_PC_UP "${VEXA_PC_UP}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexa-port.pc.in ${PROJECT_BINARY_DIR}/vexa-port.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexa-port.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
