# Checks of the build and of the test scripts themselves.

# No weak defaults among the program's C functions (a missing handler is a link error).
set(_layer_objects "")
foreach(layer ${NIMBO_LAYERS})
  list(APPEND _layer_objects "$<JOIN:$<TARGET_OBJECTS:nimbo_layer_${layer}>,|>")
endforeach()
list(JOIN _layer_objects "|" _layer_objects)
add_test(NAME program_no_weak_definitions
  COMMAND ${CMAKE_COMMAND} "-DOBJECTS=${_layer_objects}" -DNM=${CMAKE_NM}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/checks/no_weak_handlers.cmake)

# Unit tests are never retried; only the end-to-end tests (label e2e) are.
add_test(NAME test_retry_scope
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/checks/retry_scope.py ${PROJECT_SOURCE_DIR}
          ${PROJECT_BINARY_DIR})

# The service's folders enforce their direction: no include of a folder above, no include
# circle across folders (the layer order is the one of service/CMakeLists.txt).
add_test(NAME service_layers
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/checks/layers.py ${PROJECT_SOURCE_DIR})

# CI names each end-to-end test that passed only on its retry ("flaky: NAME").
add_test(NAME test_flaky_report
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/checks/flaky_report.py ${PROJECT_SOURCE_DIR})

# The fleet runner's checks, each failing on a planted fault, and its process handling.
add_test(NAME test_fleet_checks
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/checks/fleet_checks.py ${PROJECT_SOURCE_DIR})
