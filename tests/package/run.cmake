# Installs the library into a fresh prefix, then builds and runs an outside
# program that finds it: a CMake project through find_package(Vor), and
# (natively) a plain compile through pkg-config. With SOURCE_DIR the library
# is first built as a static library inside an outside project that takes
# its sources in with add_subdirectory, and that build is installed.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
if(SOURCE_DIR)
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR}/../subproject -B ${WORK_DIR}/sub -G Ninja -DVOR_SOURCE=${SOURCE_DIR}
      -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/sub)
  run(${WORK_DIR}/sub/consumer)
  set(BUILD_DIR ${WORK_DIR}/sub)
endif()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
if(SOURCE_DIR)
  file(GLOB_RECURSE archives ${prefix}/*libvor.a)
  file(GLOB_RECURSE shared ${prefix}/*libvor.so*)
  if(NOT archives OR shared)
    message(FATAL_ERROR "a static build installed '${archives}' and '${shared}'")
  endif()
endif()

# A cross build builds the outside project with the same toolchain and runs
# it through the emulator, which finds the installed DLL by WINEPATH.
set(cross "")
set(SUFFIX "")
if(TOOLCHAIN)
  set(SUFFIX .exe)
  set(cross -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DVor_DIR=${prefix}/lib/cmake/Vor)
  set(ENV{WINEPATH} "${prefix}/bin")
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release ${cross})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${EMULATOR} ${WORK_DIR}/build/consumer${SUFFIX})

if(NOT TOOLCHAIN AND PKG_CONFIG)
  file(GLOB_RECURSE described ${prefix}/*/pkgconfig/vor.pc)
  if(NOT described)
    message(FATAL_ERROR "no vor.pc under ${prefix}")
  endif()
  get_filename_component(pcdir ${described} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pcdir})
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs vor OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know vor")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${CXX} -std=c++17 ${CONSUMER_DIR}/main.cpp ${flags} -o ${WORK_DIR}/pkg-consumer)
  set(ENV{LD_LIBRARY_PATH} "${pcdir}/..")
  run(${WORK_DIR}/pkg-consumer)
endif()
