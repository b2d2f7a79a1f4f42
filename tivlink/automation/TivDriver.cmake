# The automation object TivDriver and the in-process server libtivlink.so that carries it.

# What a client compiles against: the interface header and its member table, over the runtime.
add_library(tivlink_client INTERFACE)
target_include_directories(tivlink_client INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/tivlink/include>)
target_link_libraries(tivlink_client INTERFACE tiv_com)

# The facade itself, static so that tests can make objects over transports of their own.
add_library(tivlink_com STATIC
  TTivDriver.cpp
  ClientArray.cpp
  TivlinkTypeLib.cpp
)
set_target_properties(tivlink_com PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(tivlink_com PUBLIC tivlink_automation tivlink_client PRIVATE tiv_warnings)

# The module: nothing but the server entry points is exported.
add_library(tivlink MODULE TivlinkModule.cpp)
set_target_properties(tivlink PROPERTIES
  PREFIX "lib" OUTPUT_NAME tivlink
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/libtivlink.map)
target_link_libraries(tivlink PRIVATE tivlink_com tivlink_debugwindow_qt tiv_sim tiv_warnings)
target_link_options(tivlink PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/libtivlink.map -Wl,--no-undefined)

# Registered into the build tree's registry, so that tools run from there find it through
# TIV_REGISTRY=${CMAKE_BINARY_DIR}/registry.reg.
set(TIVLINK_BUILD_REGISTRY ${CMAKE_BINARY_DIR}/registry.reg CACHE INTERNAL "")
add_dependencies(tivlink tivregsvr)
add_custom_command(TARGET tivlink POST_BUILD
  COMMAND tivregsvr --registry ${TIVLINK_BUILD_REGISTRY} $<TARGET_FILE:tivlink>
  COMMENT "Registering libtivlink.so in ${TIVLINK_BUILD_REGISTRY}"
  VERBATIM)
