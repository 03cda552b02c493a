# qvr_add_test(<name> SOURCES <files...> [LIBS <targets...>])
#
# One GoogleTest executable per suite. It links winsim's test main, which routes every
# verifier failure into the running test so that the test that caused it fails.
include(GoogleTest)

function(qvr_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} winsim_gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)
endfunction()
