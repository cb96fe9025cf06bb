cmake_policy(VERSION 3.25)
# Installs the build BUILD_DIR into PREFIX, configures and builds the
# consumer project against it (nothing but PREFIX on its search path) and
# fails unless the consumer prints EXPECTED. Both folders start empty, so
# nothing of an earlier run can make the test pass.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${what} failed:\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE ${PREFIX} ${CONSUMER_BUILD})
run("Installing" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
run("Configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${CONSUMER_BUILD} -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${PREFIX}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
    "-DCMAKE_CXX_FLAGS=${SANITIZE}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE}")
run("Building the consumer" ${CMAKE_COMMAND} --build ${CONSUMER_BUILD})

execute_process(COMMAND ${CONSUMER_BUILD}/consumer RESULT_VARIABLE failed OUTPUT_VARIABLE output
                ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "The consumer failed (${failed}):\n${output}${errors}")
endif()
if(NOT output STREQUAL EXPECTED)
  message(FATAL_ERROR "The consumer printed\n${output}\ninstead of\n${EXPECTED}")
endif()
message(STATUS "The consumer built against the installed package printed:\n${output}")
