# Device-access library tests.

# The library's ABI: NEEDED entries, exported and unresolved symbols.
add_test(NAME hwlink_abi
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:hwlink> -DHEADER=${PROJECT_SOURCE_DIR}/include/hwlink.h
          -DEXPORTS=${NIMBO_EXPORTS_LIST} -DREADELF=${CMAKE_READELF} -DNM=${CMAKE_NM}
          -P ${PROJECT_SOURCE_DIR}/hwlink/abi_check.cmake)

# The supplicant client is internal to the library (hidden): its test compiles it in.
if(TARGET test_hwlink_wpa)
  target_sources(test_hwlink_wpa PRIVATE
    ${PROJECT_SOURCE_DIR}/hwlink/wpa_ctrl.cpp ${PROJECT_SOURCE_DIR}/hwlink/os_unix.cpp
    ${PROJECT_SOURCE_DIR}/hwlink/hwlink_common.cpp)
  target_include_directories(test_hwlink_wpa PRIVATE ${PROJECT_SOURCE_DIR}/hwlink)
endif()

# Tests that start the payment-application stand-in, or signal every process named
# alibankApp, must not overlap: the library finds the application by name.
set(_hwlink_pay_tests "")
foreach(t test_hwlink_install test_hwlink_pay)
  if(TARGET ${t})
    add_dependencies(${t} alibankApp)
    list(APPEND _hwlink_pay_tests ${t})
  endif()
endforeach()
if(_hwlink_pay_tests)
  set(_lock_file ${CMAKE_CURRENT_BINARY_DIR}/hwlink_resource_lock.cmake)
  set(_body "")
  foreach(t ${_hwlink_pay_tests})
    string(APPEND _body "if(${t}_TESTS)\n  set_tests_properties(\${${t}_TESTS} PROPERTIES RESOURCE_LOCK alibankApp)\nendif()\n")
  endforeach()
  file(WRITE ${_lock_file} "${_body}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_lock_file})
endif()
