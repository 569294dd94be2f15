// The envelopes, the command request and the organisation parameters (log tag "json_utils").
// Builders return heap texts (unformatted JSON) that the caller frees with free().
// The json_utils functions are split by concern: json_utils_bootstrap.cpp (the bootstrap
// reply), json_utils_control (control commands), json_utils_location, json_utils_poster,
// json_utils_report (device report) and json_utils_tasks (upgrades and logs); their shared
// support is json_fields.
#pragma once

#include <string>

// Bootstrap reply of "api/v1/mqtt".
typedef struct {
    int code;
    char message[256];
    char data[256];
} ApiMqttBean;

// A command request as the server publishes it on the command topic.
typedef struct {
    char cmd[256];
    char taskId[256];
    char sn[256];
    char param[3072];  // "param": an object printed unformatted, or a string copied
} RequestCmd;

// "devOrgInfo" parameters.
typedef struct {
    char organizationId[256];
    char departmentId[256];
    char groupId[256];
} DevOrgInfoParam;

extern "C" {

// 0; -2 for a null record; -8 when the text is not the expected JSON.
int json_utils_jsonstr_to_api_mqtt(const char* text, ApiMqttBean* out);

// ---- envelopes -----------------------------------------------------------------------
// {"cmd":cmd+"Resp","sn","taskId"?,"param"?}: "taskId" left out when empty, "param" when
// the param text is empty. Null when the param text is not JSON.
char* json_utils_embed_param_in_replay_jsonstr(const char* cmd, const char* sn, const char* task_id,
                                               const char* param);
// {"cmd","sn","taskId"?,"param"}: the param text must parse.
char* json_utils_embed_param_in_report_jsonstr(const char* cmd, const char* sn, const char* task_id,
                                               const char* param);
// {"cmd","sn","taskId"?}
char* json_utils_create_empty_param_report_jsonstr(const char* cmd, const char* sn, const char* task_id);
// {"status","failDes"}
char* json_utils_generated_common_replay_param_to_jsonstr(const char* status, const char* fail_des);
// The container (a JSON array) with the parsed item appended; null when either does not parse.
char* json_utils_embed_jsonstr_param_in_jsonstr(const char* container, const char* item);

// ---- parsers -------------------------------------------------------------------------
// Copies "taskId" and "cmd" (strings) into the caller's zeroed 256-byte outs (either may be
// null). 0; -2 for two null outs, a text that is not JSON, or a value that does not fit.
int json_utils_jsonstr_get_taskid_and_cmd(const char* text, char* task_id, char* cmd);

// Fills the request record (zeroed first); `default_sn` is used when "sn" is absent or
// empty. 0; -2 for a null record or a text that is not JSON; -6 when "cmd", "taskId" or
// "sn" exceeds 255 characters or the param text 3071 (those fields are left empty).
int json_utils_jsonstr_to_request_cmd(const char* text, const char* default_sn, RequestCmd* out);

// 0; -2 for a null record or a text that is not JSON; -6 when an identifier exceeds 255
// characters (the record is then left empty).
int json_utils_jsonstr_to_dev_org_info_param(const char* text, DevOrgInfoParam* out);

}  // extern "C"

namespace json_utils {

// Fields of a request that did not fit the record.
enum RequestOverflow : unsigned {
    kOverflowNone = 0,
    kOverflowCmd = 1u << 0,
    kOverflowTaskId = 1u << 1,
    kOverflowSn = 1u << 2,
    kOverflowParam = 1u << 3,
};

// As json_utils_jsonstr_to_request_cmd, telling which fields overflowed.
int parse_request(const char* text, const char* default_sn, RequestCmd* out, unsigned* overflow);

}  // namespace json_utils
