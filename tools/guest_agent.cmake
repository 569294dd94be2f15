# The control channel of the mipsel test machine (scripts/mips-vm.sh): a small command agent.
add_executable(nimbo-agent ${CMAKE_CURRENT_SOURCE_DIR}/guest_agent.cpp)
target_include_directories(nimbo-agent PRIVATE ${PROJECT_SOURCE_DIR}/common)
