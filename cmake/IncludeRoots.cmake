# Each library offers its headers under an include root of its own, so that the build, not
# discipline, keeps a client from reaching headers of a library it does not link (a client of
# the driver sees its client header, never an engine header). Headers keep their spelling
# ("os/Clock.h", "tivlink/protocol/DriverEngine.h"): the root is a folder of links in the build
# tree that holds just the library's folders.
#
# tiv_include_root(TARGET SPELLING=FOLDER...)
function(tiv_include_root target)
  set(root "${PROJECT_BINARY_DIR}/include-roots/${target}")
  foreach(pair IN LISTS ARGN)
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 spelling)
    list(GET parts 1 folder)
    get_filename_component(parent "${root}/${spelling}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${folder}" "${root}/${spelling}" SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE "$<BUILD_INTERFACE:${root}>")
  else()
    target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${root}>")
  endif()
endfunction()
