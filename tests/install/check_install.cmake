# Installs the C++ package of the build tree into a fresh prefix with `cmake --install`, then
# configures, builds and runs the consumer project against it; its programs must print the
# examples' results.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DEXAMPLE_SOURCE=...
#         -DSEGMENT_EXAMPLE_SOURCE=... -DCXX=... -DEXPECT_MEX=ON|OFF -P check_install.cmake
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
# The C++ package alone: the Python package goes to its interpreter's site-packages, which no
# prefix redirects.
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component cpp)
run("configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
    -DEXAMPLE_SOURCE=${EXAMPLE_SOURCE} -DSEGMENT_EXAMPLE_SOURCE=${SEGMENT_EXAMPLE_SOURCE}
    -DEXPECT_MEX=${EXPECT_MEX})
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run("the consumer" ${WORK_DIR}/consumer/consumer)
if(NOT output MATCHES "outer iterations: 4")
  message(FATAL_ERROR "the consumer printed:\n${output}")
endif()
run("the segmentation consumer" ${WORK_DIR}/consumer/segment_consumer)
if(NOT output MATCHES "levels: 0.200 0.501 0.800")
  message(FATAL_ERROR "the segmentation consumer printed:\n${output}")
endif()
message(STATUS "find_package(daskel) from ${prefix}: the consumers give the examples' results")
