# The protocol reference: every example in docs/protocol.md against docs/schemas/, and the
# console's command list against the reference.
add_test(NAME docs_schemas
  COMMAND ${NIMBO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_schemas.py ${PROJECT_SOURCE_DIR}/docs
          $<$<TARGET_EXISTS:nimboctl>:$<TARGET_FILE:nimboctl>>)
set_tests_properties(docs_schemas PROPERTIES TIMEOUT 120)
