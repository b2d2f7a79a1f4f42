# cmake --install: the driver module, the platform libraries, the tools, the client headers,
# a CMake package (TivlinkConfig.cmake, Tivlink:: targets) and tivlink.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installed headers keep their spelling under one root of their own.
set(TIV_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/tivlink")
set(TIV_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/Tivlink")

# Installed programs and libraries find ours beside them, wherever the prefix is.
set_target_properties(tiv_os tiv_usb tiv_sim tiv_qt tivlink PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(tivctl tivsim tivregsvr PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

foreach(lib tiv_os tiv_usb tiv_com tiv_qt tivlink_codec tivlink_client)
  target_include_directories(${lib} INTERFACE "$<INSTALL_INTERFACE:${TIV_INSTALL_INCLUDEDIR}>")
endforeach()
set_target_properties(tiv_os PROPERTIES EXPORT_NAME os)
set_target_properties(tiv_usb PROPERTIES EXPORT_NAME usb)
set_target_properties(tiv_com PROPERTIES EXPORT_NAME com)
set_target_properties(tiv_qt PROPERTIES EXPORT_NAME qt)
set_target_properties(tivlink_codec PROPERTIES EXPORT_NAME codec)
set_target_properties(tivlink_client PROPERTIES EXPORT_NAME client)
# The in-tree names of the exported targets, for projects built beside this one.
foreach(pair os:tiv_os usb:tiv_usb com:tiv_com qt:tiv_qt codec:tivlink_codec client:tivlink_client)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 target)
  add_library(Tivlink::${name} ALIAS ${target})
endforeach()

install(TARGETS tiv_os tiv_usb tiv_com tiv_qt tivlink_codec tivlink_client
  EXPORT TivlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The simulator is what the driver runs on without a real adapter; the module needs it.
install(TARGETS tiv_sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The module is loaded through the registry, never linked.
install(TARGETS tivlink LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS tivctl tivsim tivregsvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The rule that lets the plugdev group open real adapters. udev reads lib/udev/rules.d below
# /usr and /usr/local; other prefixes set TIV_UDEV_RULES_DIR (e.g. /etc/udev/rules.d).
set(TIV_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "where cmake --install puts the udev rule")
install(FILES ${PROJECT_SOURCE_DIR}/platform/usb/udev/60-tivlink-adapter.rules
  DESTINATION ${TIV_UDEV_RULES_DIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/tivlink/include/tivlink
  DESTINATION ${TIV_INSTALL_INCLUDEDIR})
foreach(part os usb com qt)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/${part}
    DESTINATION ${TIV_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h" PATTERN "tools" EXCLUDE
    PATTERN "udev" EXCLUDE)
endforeach()

install(EXPORT TivlinkTargets NAMESPACE Tivlink:: DESTINATION ${TIV_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TivlinkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TivlinkConfig.cmake
  INSTALL_DESTINATION ${TIV_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TivlinkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TivlinkConfig.cmake
  ${PROJECT_BINARY_DIR}/TivlinkConfigVersion.cmake DESTINATION ${TIV_INSTALL_CMAKEDIR})

# Relocatable: the prefix is found from where the file lies.
file(RELATIVE_PATH TIV_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tivlink.pc.in ${PROJECT_BINARY_DIR}/tivlink.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tivlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
