// Every JSON parser of the service on the same text: the bootstrap reply, the request, the
// parameters of each command, the position fix and the upload answer. A parser may refuse;
// it must not read or write outside its record or leave a text without its NUL.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "json/json_utils.h"
#include "json/json_utils_control.h"
#include "json/json_utils_poster.h"
#include "json/json_utils_tasks.h"
#include "nimbo_exports.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string s = fuzz::text(data, size);
    const char* text = s.c_str();

    ApiMqttBean api;
    json_utils_jsonstr_to_api_mqtt(text, &api);
    fuzz::require_terminated(api.message);
    fuzz::require_terminated(api.data);

    RequestCmd req;
    json_utils_jsonstr_to_request_cmd(text, "NB00000001", &req);
    fuzz::require_terminated(req.cmd);
    fuzz::require_terminated(req.taskId);
    fuzz::require_terminated(req.sn);
    fuzz::require_terminated(req.param);

    char task_id[256] = {0}, cmd[256] = {0};
    json_utils_jsonstr_get_taskid_and_cmd(text, task_id, cmd);
    fuzz::require_terminated(task_id);
    fuzz::require_terminated(cmd);

    DevOrgInfoParam org;
    json_utils_jsonstr_to_dev_org_info_param(text, &org);
    fuzz::require_terminated(org.organizationId);
    fuzz::require_terminated(org.departmentId);
    fuzz::require_terminated(org.groupId);

    DevLockParam lock;
    json_utils_jsonstr_to_devlock_param(text, &lock);
    fuzz::require_terminated(lock.lockType);
    fuzz::require_terminated(lock.pwd);

    GeofenceParam fence;
    json_utils_jsonstr_to_geofence_param(text, &fence);
    fuzz::require_terminated(fence.geofenceCoordinates);
    fuzz::require_terminated(fence.geofenceRadius);

    RebootParam reboot;
    json_utils_jsonstr_to_reboot_param(text, &reboot);
    fuzz::require_terminated(reboot.time);

    OnOffParam on_off;
    json_utils_jsonstr_to_on_off_param(text, &on_off);
    fuzz::require_terminated(on_off.weekCycle);

    SwitchServerUrlParam sw;
    json_utils_jsonstr_to_switch_server_url_param(text, &sw);
    fuzz::require_terminated(sw.url);

    DevParamBean bean;
    if (json_utils_jsonstr_to_dev_param_bean(text, &bean) == 0 && bean.wifiAPCount > 0 && bean.wifiAP == nullptr)
        abort();
    nimbo_entities_free_DevParamBean(&bean);

    CustomResourcePosterParam poster;
    json_utils_jsonstr_to_custom_resource_poster_param(text, &poster);
    fuzz::require_terminated(poster.fileName);
    fuzz::require_terminated(poster.action);

    ApkUpgradeParam apk;
    json_utils_jsonstr_to_apk_upgrade_param(text, &apk);
    fuzz::require_terminated(apk.apkFileName);

    OtaUpgradeParam ota;
    json_utils_jsonstr_to_ota_upgrade_param(text, &ota);
    fuzz::require_terminated(ota.packageName);

    QueryLogParam query;
    json_utils_jsonstr_to_query_log_param(text, &query);
    fuzz::require_terminated(query.filePath);

    GetLogParam get;
    json_utils_jsonstr_to_get_log_param(text, &get);
    fuzz::require_terminated(get.filePath);

    PostFileResult post;
    json_utils_jsonstr_to_post_file_result(text, &post);
    fuzz::require_terminated(post.destination);
    // The same answer cut anywhere: the members that arrived whole.
    json_utils::post_file_result_from_head(text, &post);
    fuzz::require_terminated(post.desc);

    LocationDataParam fix;
    json_utils_jsonstr_to_location_data_param(text, &fix);
    fuzz::require_terminated(fix.coordinates);
    fuzz::require_terminated(fix.location);
    return 0;
}
