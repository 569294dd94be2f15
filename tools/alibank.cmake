# The payment-application stand-in: an executable named exactly alibankApp (the service
# finds the payment application by process name).
add_executable(alibankApp ${CMAKE_CURRENT_SOURCE_DIR}/alibankApp.cpp ${PROJECT_SOURCE_DIR}/common/device_path.cpp)
target_include_directories(alibankApp PRIVATE ${PROJECT_SOURCE_DIR}/common)
set_target_properties(alibankApp PROPERTIES OUTPUT_NAME alibankApp)
