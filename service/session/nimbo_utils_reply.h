// Reply operations: build the reply envelope, publish it, return the publish result
// (log tag "nimbo_utils"). -8 and nothing published when the envelope cannot be built.
#pragma once

#include <MQTTAsync.h>

extern "C" {

// {"status","failDes"} as "param", QoS 0.
int nimbo_utils_replay_with_no_data_param(MQTTAsync client, const char* cmd, const char* sn, const char* task_id,
                                          const char* status, const char* fail_des);
// The param text (a JSON object, or empty for no "param"), QoS 0.
int nimbo_utils_replay_with_param(MQTTAsync client, const char* cmd, const char* sn, const char* task_id,
                                  const char* param);
int nimbo_utils_replay_with_param_with_qos(MQTTAsync client, const char* cmd, const char* sn, const char* task_id,
                                           const char* param, int qos);
// The poster's refusal reply: {"status","failDes","action"?} with "action" from the param
// text, QoS 0.
int nimbo_utils_replay_with_custom_resources_param(MQTTAsync client, const char* cmd, const char* sn,
                                                   const char* task_id, const char* status, const char* fail_des,
                                                   const char* param);

}  // extern "C"
