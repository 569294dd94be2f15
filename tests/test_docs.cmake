# The protocol reference: every example in docs/protocol.md against docs/schemas/, and the
# console's command list against the reference.
add_test(NAME docs_schemas
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_schemas.py ${PROJECT_SOURCE_DIR}/docs
          $<$<TARGET_EXISTS:nimboctl>:$<TARGET_FILE:nimboctl>>)
set_tests_properties(docs_schemas PROPERTIES TIMEOUT 120)
# The console's own help: nimboctl's bash completion against its --help, the simulator's
# runtime settings in its --help.
add_test(NAME docs_console_help
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_console_help.py ${PROJECT_SOURCE_DIR}
          $<$<TARGET_EXISTS:nimboctl>:$<TARGET_FILE:nimboctl>>)
set_tests_properties(docs_console_help PROPERTIES TIMEOUT 60)
