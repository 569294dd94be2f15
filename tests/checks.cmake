# Checks of the build and of the test scripts themselves.

# No weak defaults among the program's C functions (a missing handler is a link error).
add_test(NAME program_no_weak_definitions
  COMMAND ${CMAKE_COMMAND} "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:nimbo_core>,|>" -DNM=${CMAKE_NM}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/checks/no_weak_handlers.cmake)

# Unit tests are never retried; only the end-to-end tests (label e2e) are.
add_test(NAME test_retry_scope
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/checks/retry_scope.py ${PROJECT_SOURCE_DIR}
          ${PROJECT_BINARY_DIR})

# The fleet runner's checks, each failing on a planted fault, and its process handling.
add_test(NAME test_fleet_checks
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/checks/fleet_checks.py ${PROJECT_SOURCE_DIR})
