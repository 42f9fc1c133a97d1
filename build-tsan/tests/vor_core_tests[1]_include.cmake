if(EXISTS "/work/wt-net/build-tsan/tests/vor_core_tests")
  if(NOT EXISTS "/work/wt-net/build-tsan/tests/vor_core_tests[1]_tests.cmake" OR
     NOT "/work/wt-net/build-tsan/tests/vor_core_tests[1]_tests.cmake" IS_NEWER_THAN "/work/wt-net/build-tsan/tests/vor_core_tests" OR
     NOT "/work/wt-net/build-tsan/tests/vor_core_tests[1]_tests.cmake" IS_NEWER_THAN "${CMAKE_CURRENT_LIST_FILE}")
    include("/usr/share/cmake-3.25/Modules/GoogleTestAddTests.cmake")
    gtest_discover_tests_impl(
      TEST_EXECUTABLE [==[/work/wt-net/build-tsan/tests/vor_core_tests]==]
      TEST_EXECUTOR [==[]==]
      TEST_WORKING_DIR [==[/work/wt-net/build-tsan/tests]==]
      TEST_EXTRA_ARGS [==[]==]
      TEST_PROPERTIES [==[TIMEOUT;240]==]
      TEST_PREFIX [==[]==]
      TEST_SUFFIX [==[]==]
      TEST_FILTER [==[]==]
      NO_PRETTY_TYPES [==[FALSE]==]
      NO_PRETTY_VALUES [==[FALSE]==]
      TEST_LIST [==[vor_core_tests_TESTS]==]
      CTEST_FILE [==[/work/wt-net/build-tsan/tests/vor_core_tests[1]_tests.cmake]==]
      TEST_DISCOVERY_TIMEOUT [==[5]==]
      TEST_XML_OUTPUT_DIR [==[]==]
    )
  endif()
  include("/work/wt-net/build-tsan/tests/vor_core_tests[1]_tests.cmake")
else()
  add_test(vor_core_tests_NOT_BUILT vor_core_tests_NOT_BUILT)
endif()
