# CMake generated Testfile for 
# Source directory: /work/wt-net/tests
# Build directory: /work/wt-net/build-tsan/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/wt-net/build-tsan/tests/vor_platform_tests[1]_include.cmake")
include("/work/wt-net/build-tsan/tests/vor_core_tests[1]_include.cmake")
include("/work/wt-net/build-tsan/tests/vor_system_tests[1]_include.cmake")
include("/work/wt-net/build-tsan/tests/vor_basic_tests[1]_include.cmake")
include("/work/wt-net/build-tsan/tests/vor_io_tests[1]_include.cmake")
include("/work/wt-net/build-tsan/tests/vor_sched_tests[1]_include.cmake")
add_test([=[package.umbrella]=] "/work/wt-net/build-tsan/tests/vor_umbrella_check")
set_tests_properties([=[package.umbrella]=] PROPERTIES  _BACKTRACE_TRIPLES "/work/wt-net/tests/CMakeLists.txt;25;add_test;/work/wt-net/tests/CMakeLists.txt;0;")
