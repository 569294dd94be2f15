# A one-minute soak of the installed program (label "soak"; leave it out with ctest -LE soak):
# mixed commands every 100 ms, the broker bounced once, memory, descriptors and threads
# sampled. The ten-minute run is scripts/soak.sh --minutes 10 (see docs/reliability.md).
if(CMAKE_CROSSCOMPILING)
  return()
endif()
if(TARGET alibankApp)
  set(_soak_alibank $<TARGET_FILE:alibankApp>)
else()
  set(_soak_alibank ${PROJECT_BINARY_DIR}/tools/alibankApp)
endif()
add_test(NAME soak_1min
  COMMAND ${NIMBO_PYTHON} ${PROJECT_SOURCE_DIR}/tools/soak.py --minutes 1 --bounces 1
          --stage ${PROJECT_BINARY_DIR}/stage)
set_tests_properties(soak_1min PROPERTIES
  LABELS soak
  FIXTURES_REQUIRED e2e_stage
  TIMEOUT 600
  ENVIRONMENT "NIMBO_SOURCE_DIR=${PROJECT_SOURCE_DIR};NIMBO_BINARY_DIR=${PROJECT_BINARY_DIR};NIMBO_STAGE_DIR=${PROJECT_BINARY_DIR}/stage;NIMBO_ALIBANK=${_soak_alibank};PYTHONDONTWRITEBYTECODE=1")
