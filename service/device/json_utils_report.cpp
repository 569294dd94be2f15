// JSON of the device report: the device information and the system status (log tag "json_utils").
#include "device/json_utils_report.h"

#include <stdlib.h>
#include <string.h>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "log_tags.h"
#include "util/kx_log.h"

namespace {

// A root that could not be created is logged like one that cannot be printed.
char* print(const JsonPtr& root) {
    if (root) return json_fields::print(root.get());
    LOG_E(TAG_JSON, "Failed to create JSON object");
    return nullptr;
}

bool add_string(cJSON* obj, const char* key, const char* value) {
    return cJSON_AddStringToObject(obj, key, value) != nullptr;
}

bool add_number(cJSON* obj, const char* key, int value) {
    return cJSON_AddNumberToObject(obj, key, value) != nullptr;
}

}  // namespace

char* json_utils_device_info_to_jsonstr(const DeviceInfo* info) {
    if (info == nullptr) return nullptr;
    JsonPtr root{cJSON_CreateObject()};
    if (!root) return print(root);
    cJSON* o = root.get();
    bool ok = add_string(o, "fwVer", info->fwVer) && add_string(o, "sysVer", info->sysVer) &&
              add_string(o, "model", info->model) && add_string(o, "devType", info->devType) &&
              add_number(o, "userCount", info->userCount) && add_number(o, "swipeCardCount", info->swipeCardCount) &&
              add_string(o, "orgId", info->orgId) && add_number(o, "doorStatus", info->doorStatus) &&
              add_string(o, "devIP", info->devIP) && add_string(o, "devName", info->devName) &&
              add_string(o, "location", info->location) && add_string(o, "coordinates", info->coordinates) &&
              add_string(o, "companyName", info->companyName) && add_string(o, "macAddr", info->macAddr) &&
              add_string(o, "imei", info->imei) && add_string(o, "imsi", info->imsi) &&
              add_number(o, "devFunc", info->devFunc) && add_number(o, "activeStatus", info->activeStatus);
    cJSON* sys = ok ? cJSON_AddObjectToObject(o, "sys_param") : nullptr;
    ok = sys && add_number(sys, "enableNavbar", info->enableNavbar) &&
         add_number(sys, "enableStatusBar", info->enableStatusBar) && add_number(sys, "enableAdb", info->enableAdb);
    cJSON* apps = ok ? cJSON_AddArrayToObject(o, "apkList") : nullptr;
    ok = apps != nullptr;
    for (int i = 0; ok && i < info->appCount && i < NIMBO_MAX_APPS; ++i) {
        const AppInfo& a = info->apps[i];
        cJSON* item = cJSON_CreateObject();
        ok = item && cJSON_AddItemToArray(apps, item) && add_string(item, "apkName", a.apkName) &&
             add_string(item, "pkgName", a.pkgName) && add_number(item, "size", a.size) &&
             add_string(item, "version", a.version) && add_number(item, "apkEnable", a.apkEnable);
    }
    cJSON* hw = ok ? cJSON_AddArrayToObject(o, "hwList") : nullptr;
    ok = hw != nullptr;
    for (int i = 0; ok && i < info->hwCount && i < NIMBO_MAX_HW; ++i) {
        cJSON* item = cJSON_CreateObject();
        ok = item && cJSON_AddItemToArray(hw, item) && add_string(item, "hwName", info->hardware[i].hwName) &&
             add_string(item, "version", info->hardware[i].version);
    }
    if (!ok) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return print(root);
}

char* json_utils_sys_status_param_to_jsonstr(const SysStatusParam* s) {
    if (s == nullptr) return nullptr;
    JsonPtr root{cJSON_CreateObject()};
    if (!root) return print(root);
    const std::pair<const char*, const char*> fields[] = {
        {"status", s->status},           {"failDes", s->failDes},       {"batteryPercent", s->batteryPercent},
        {"batteryStatus", s->batteryStatus}, {"cpuTemp", s->cpuTemp},   {"cpuUsage", s->cpuUsage},
        {"devI", s->devI},               {"devSi", s->devSi},           {"devUpTime", s->devUpTime},
        {"devV", s->devV},               {"memoryUsage", s->memoryUsage}, {"networkType", s->networkType},
    };
    for (const auto& f : fields) {
        if (!add_string(root.get(), f.first, f.second)) {
            LOG_E(TAG_JSON, "Failed to create JSON object");
            return nullptr;
        }
    }
    return print(root);
}
