# cmake -P: install, register, build the client both ways, run it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(expect_client_output text how)
  if(NOT text MATCHES "^Tivlink.TivDriver version [0-9]+, [0-9]+ adapter\\(s\\), codec ok\n$")
    message(FATAL_ERROR "the client built with ${how} printed: ${text}")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
set(registry "${WORK_DIR}/registry.reg")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(file bin/tivctl bin/tivsim bin/tivregsvr ${LIBDIR}/libtivlink.so ${LIBDIR}/libtiv_os.so.0
    ${LIBDIR}/pkgconfig/tivlink.pc ${LIBDIR}/cmake/Tivlink/TivlinkConfigVersion.cmake
    include/tivlink/tivlink/ITivDriver.h include/tivlink/tivlink/TelegramCodec.h
    lib/udev/rules.d/60-tivlink-adapter.rules)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# No engine header leaves the build.
file(GLOB_RECURSE engine_headers "${prefix}/include/tivlink/tivlink/protocol/*"
  "${prefix}/include/tivlink/tivlink/usb/*")
if(engine_headers)
  message(FATAL_ERROR "engine headers installed: ${engine_headers}")
endif()

# The one command that registers the installed module.
run("${prefix}/bin/tivregsvr" --registry "${registry}" "${prefix}/${LIBDIR}/libtivlink.so")
set(env ${CMAKE_COMMAND} -E env "TIV_REGISTRY=${registry}" TIV_USB=sim)

run(${CMAKE_COMMAND} -S "${CLIENT_DIR}" -B "${WORK_DIR}/client" -G "${GENERATOR}"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/client")
run(${env} "${WORK_DIR}/client/tivlink_client_demo")
expect_client_output("${output}" "find_package")

run(${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig"
  pkg-config --cflags --libs tivlink)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run("${CXX}" -std=c++20 "${CLIENT_DIR}/main.cpp" -o "${WORK_DIR}/client-pc" ${flags})
run(${env} "LD_LIBRARY_PATH=${prefix}/${LIBDIR}" "${WORK_DIR}/client-pc")
expect_client_output("${output}" "pkg-config")

# The installed tools run from the prefix too.
run(${env} "${prefix}/bin/tivctl" --json scan)
