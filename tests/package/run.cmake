# Installs the built library into a fresh prefix, then configures, builds and
# runs an outside project that finds it with find_package(Vor).
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
# A cross build builds the outside project with the same toolchain and runs
# it through the emulator, which finds the installed DLL by WINEPATH.
set(cross "")
set(SUFFIX "")
if(TOOLCHAIN)
  set(SUFFIX .exe)
  set(cross -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DVor_DIR=${WORK_DIR}/prefix/lib/cmake/Vor)
  set(ENV{WINEPATH} "${WORK_DIR}/prefix/bin")
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_BUILD_TYPE=Release ${cross})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${EMULATOR} ${WORK_DIR}/build/consumer${SUFFIX})
