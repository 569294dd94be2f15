# Checks of the build and of the test scripts themselves.

# No weak defaults among the program's C functions (a missing handler is a link error).
add_test(NAME program_no_weak_definitions
  COMMAND ${CMAKE_COMMAND} "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:nimbo_core>,|>" -DNM=${CMAKE_NM}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/checks/no_weak_handlers.cmake)
