# Device-access library tests.

# The library's ABI: NEEDED entries, exported and unresolved symbols.
add_test(NAME hwlink_abi
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:hwlink> -DHEADER_DIR=${PROJECT_SOURCE_DIR}/include
          -DHEADERS=hwlink.h,wpa_ctrl.h
          -DEXPORTS=${NIMBO_EXPORTS_LIST} -DREADELF=${CMAKE_READELF} -DNM=${CMAKE_NM}
          -P ${PROJECT_SOURCE_DIR}/hwlink/abi_check.cmake)

# Tests that start the payment-application stand-in, or signal every process named
# alibankApp, must not overlap: the library finds the application by name.
set(_hwlink_pay_tests "")
foreach(t test_hwlink_install test_hwlink_pay test_links)
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
