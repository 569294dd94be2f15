// Reply operations shared by the dispatcher and every command handler, and the failure text
// of a result code.
#include "session/nimbo_utils_reply.h"

#include <cstdio>

#include "c_handles.hpp"
#include "json/json_utils.h"
#include "json/json_utils_poster.h"
#include "log_tags.h"
#include "result_codes.h"
#include "session/mqtt_utils_async.h"
#include "util/kx_log.h"

extern "C" int nimbo_utils_replay_with_param_with_qos(MQTTAsync client, const char* cmd, const char* sn,
                                                      const char* task_id, const char* param, int qos) {
    CText envelope{json_utils_embed_param_in_replay_jsonstr(cmd, sn, task_id, param)};
    if (!envelope) {
        LOG_E(TAG_UTILS, "make json failed, cmd: %s", cmd ? cmd : "");
        return NIMBO_ERR_FAILED;
    }
    if (qos == 0) return mqtt_utils_async_publish_replay_message(client, envelope.get());
    return mqtt_utils_async_publish_replay_message_with_qos(client, envelope.get(), qos);
}

extern "C" int nimbo_utils_replay_with_param(MQTTAsync client, const char* cmd, const char* sn,
                                             const char* task_id, const char* param) {
    return nimbo_utils_replay_with_param_with_qos(client, cmd, sn, task_id, param, 0);
}

extern "C" int nimbo_utils_replay_with_no_data_param(MQTTAsync client, const char* cmd, const char* sn,
                                                     const char* task_id, const char* status,
                                                     const char* fail_des) {
    CText param{json_utils_generated_common_replay_param_to_jsonstr(status, fail_des)};
    if (!param) {
        LOG_E(TAG_UTILS, "make json failed, cmd: %s", cmd ? cmd : "");
        return NIMBO_ERR_FAILED;
    }
    return nimbo_utils_replay_with_param_with_qos(client, cmd, sn, task_id, param.get(), 0);
}

extern "C" int nimbo_utils_replay_with_custom_resources_param(MQTTAsync client, const char* cmd, const char* sn,
                                                              const char* task_id, const char* status,
                                                              const char* fail_des, const char* param) {
    CText reply_param{json_utils_poster_resources_param_to_jsonstr2(status, fail_des, param)};
    if (!reply_param) return NIMBO_ERR_FAILED;
    return nimbo_utils_replay_with_param(client, cmd, sn, task_id, reply_param.get());
}
