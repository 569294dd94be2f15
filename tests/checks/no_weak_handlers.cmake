# The program's own C functions have exactly one definition each (run with cmake -P):
#   -DOBJECTS=<object files, separated by "|"> -DNM=nm
# A weak default behind a command handler or utility would hide a renamed or missing
# definition until a command arrives; without one, such a fault is a link error.
cmake_minimum_required(VERSION 3.22)
string(REPLACE "|" ";" objects "${OBJECTS}")
set(weak "")
foreach(obj ${objects})
  execute_process(COMMAND ${NM} --defined-only ${obj} OUTPUT_VARIABLE defs RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${obj}")
  endif()
  string(REGEX MATCHALL "[0-9a-fA-F]+ [WV] (mqtt_cmd_|mqtt_utils_|mqtt_logic_|mf_mqtt_|nimbo_utils_|nimbo_entities_|json_utils_|curl_utils_|crypto_utils_|ini_utils_|ntp_utils_|kx_log_|download_logic)[A-Za-z0-9_]*"
         hits "${defs}")
  foreach(h ${hits})
    string(REGEX REPLACE ".* " "" name "${h}")
    get_filename_component(o ${obj} NAME)
    list(APPEND weak "${name} (${o})")
  endforeach()
endforeach()
if(weak)
  string(REPLACE ";" "\n  " text "${weak}")
  message(FATAL_ERROR "weak definitions:\n  ${text}")
endif()
list(LENGTH objects n)
message(STATUS "no weak definition in ${n} objects")
