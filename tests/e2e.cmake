# End-to-end tests: the installed program against a real broker, the management simulator
# and a simulated terminal. The build is installed into a stage prefix first.
# A cross build's program cannot run here directly: scripts/mips-e2e.sh runs a subset under qemu.
# Every test here carries the label e2e: the test scripts run these (and only these) with one
# retry, because they start real brokers, simulators and services on a shared machine.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
set(NIMBO_STAGE_DIR ${PROJECT_BINARY_DIR}/stage)
add_test(NAME e2e_install
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${NIMBO_STAGE_DIR})
set_tests_properties(e2e_install PROPERTIES FIXTURES_SETUP e2e_stage LABELS e2e)

if(TARGET alibankApp)
  set(NIMBO_ALIBANK_PATH $<TARGET_FILE:alibankApp>)
else()
  set(NIMBO_ALIBANK_PATH ${PROJECT_BINARY_DIR}/tools/alibankApp)
endif()

file(GLOB E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_*.py)
foreach(test ${E2E_TESTS})
  get_filename_component(name ${test} NAME_WE)
  add_test(NAME e2e_${name}
    COMMAND ${NIMBO_PYTHON} -m unittest -v ${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
  set_tests_properties(e2e_${name} PROPERTIES
    FIXTURES_REQUIRED e2e_stage
    LABELS e2e
    TIMEOUT 900
    ENVIRONMENT "NIMBO_SOURCE_DIR=${PROJECT_SOURCE_DIR};NIMBO_BINARY_DIR=${PROJECT_BINARY_DIR};NIMBO_STAGE_DIR=${NIMBO_STAGE_DIR};NIMBO_ALIBANK=${NIMBO_ALIBANK_PATH};PYTHONDONTWRITEBYTECODE=1")
endforeach()
