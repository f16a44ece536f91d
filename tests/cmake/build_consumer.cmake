# Configures, builds and runs one of the outside projects beside this file (CTest runs it).
#   WAY=find_package      installs BUILD_DIR into a scratch prefix first and finds it there
#   WAY=add_subdirectory  adds SOURCE_DIR as a subdirectory
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGV}")
    message(FATAL_ERROR "failed (${result}): ${command}\n${out}\n${err}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(configure -S ${SOURCE_DIR}/tests/cmake/${WAY} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
if(WAY STREQUAL "find_package")
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
  list(APPEND configure -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
else()
  list(APPEND configure -DQUORIN_SOURCE_DIR=${SOURCE_DIR})
endif()
run(${CMAKE_COMMAND} ${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
