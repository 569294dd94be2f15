# nimboctl's own rules that need no broker (the rest is tested end to end).
if(NOT TARGET nimboctl_parts)
  return()
endif()
add_executable(test_nimboctl ${CMAKE_CURRENT_SOURCE_DIR}/unit/tools/test_nimboctl.cpp)
target_link_libraries(test_nimboctl PRIVATE nimboctl_parts GTest::gtest GTest::gtest_main)
gtest_discover_tests(test_nimboctl DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
