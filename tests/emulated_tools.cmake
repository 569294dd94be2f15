# Cross builds whose tests run under an emulator (CMAKE_CROSSCOMPILING_EMULATOR, e.g. qemu
# user mode for mipsel): the tests start the payment-application stand-in by its build path
# and the library finds it by its process name, but the host cannot execute a target binary
# started by another one. There the stand-in is built as alibankApp.target and a host wrapper
# takes the name alibankApp: it starts the emulator through a link named alibankApp, so the
# process keeps that name. Both ends then run under the same emulator and share its
# numbering of real-time signals.
if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CROSSCOMPILING_EMULATOR OR NOT TARGET alibankApp)
  return()
endif()

set(_emu_cmd ${CMAKE_CROSSCOMPILING_EMULATOR})
list(POP_FRONT _emu_cmd _emu_program)
set(_emu_args "")
foreach(_arg IN LISTS _emu_cmd)
  string(APPEND _emu_args " \"${_arg}\"")
endforeach()

set(_tool_dir ${PROJECT_BINARY_DIR}/tools)
set_target_properties(alibankApp PROPERTIES OUTPUT_NAME alibankApp.target RUNTIME_OUTPUT_DIRECTORY ${_tool_dir})
file(MAKE_DIRECTORY ${_tool_dir}/.emulator)
file(CREATE_LINK ${_emu_program} ${_tool_dir}/.emulator/alibankApp SYMBOLIC)
file(CONFIGURE OUTPUT ${_tool_dir}/alibankApp CONTENT
  "#!/bin/sh\n# alibankApp (${CMAKE_SYSTEM_PROCESSOR}) under the emulator; written by tests/emulated_tools.cmake\nexec \"${_tool_dir}/.emulator/alibankApp\"${_emu_args} \"${_tool_dir}/alibankApp.target\" \"$@\"\n"
  @ONLY)
file(CHMOD ${_tool_dir}/alibankApp PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
