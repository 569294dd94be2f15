# nimboctl: the operator's console (a management-server-side MQTT client), installed beside
# the service. Not built for cross builds of the terminal: it runs on operators' machines.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
# Everything but main(), for the console and its unit tests.
add_library(nimboctl_parts STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/nimboctl/broker_link.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/nimboctl/campaign.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/nimboctl/catalogue.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/nimboctl/render.cpp)
target_include_directories(nimboctl_parts PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/nimboctl ${PROJECT_SOURCE_DIR}/common)
target_link_libraries(nimboctl_parts PUBLIC eclipse-paho-mqtt-c::paho-mqtt3as PkgConfig::CJSON Threads::Threads)
add_executable(nimboctl ${CMAKE_CURRENT_SOURCE_DIR}/nimboctl/main.cpp)
target_link_libraries(nimboctl PRIVATE nimboctl_parts OpenSSL::Crypto)
install(TARGETS nimboctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
target_compile_definitions(nimboctl PRIVATE NIMBO_VERSION_TEXT="${PROJECT_VERSION}")
