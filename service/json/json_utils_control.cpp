// JSON of the control commands and of the alert message (log tag "json_utils").
#include "json/json_utils_control.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "c_handles.hpp"
#include "json/json_fields.h"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

using Getter = cJSON* (*)(const cJSON*, const char*);

cJSON* exact(const cJSON* obj, const char* key) { return cJSON_GetObjectItemCaseSensitive(obj, key); }
cJSON* any_case(const cJSON* obj, const char* key) { return cJSON_GetObjectItem(obj, key); }

// Copies a string member into a fixed field; absent or of another type: left empty. A value
// that does not fit is refused.
bool copy_text(const cJSON* obj, const char* key, char* field, size_t size, Getter get = exact) {
    return json_fields::copy_text(get(obj, key), key, field, size);
}

void copy_int(const cJSON* obj, const char* key, int* out, Getter get = exact) {
    json_fields::copy_int(get(obj, key), out);
}

using json_fields::copy_members;
using json_fields::or_empty;
using json_fields::parse_record;
using json_fields::print;

}  // namespace

extern "C" {

int json_utils_jsonstr_to_devlock_param(const char* text, DevLockParam* out) {
    return parse_record(text, out, [out](const cJSON* r) {
        return copy_members(r, {{"lockType", out->lockType}, {"pwd", out->pwd}});
    });
}

int json_utils_jsonstr_to_geofence_param(const char* text, GeofenceParam* out) {
    return parse_record(text, out, [out](const cJSON* r) {
        if (!copy_members(r, {{"cycle", out->cycle},
                              {"geofenceCoordinates", out->geofenceCoordinates},
                              {"geofenceRadius", out->geofenceRadius}}))
            return false;
        copy_int(r, "pushAlert", &out->pushAlert);
        return true;
    });
}

int json_utils_jsonstr_to_reboot_param(const char* text, RebootParam* out) {
    return parse_record(text, out, [out](const cJSON* r) {
        return copy_members(r, {{"rebootType", out->rebootType}, {"time", out->time}, {"weekCycle", out->weekCycle}});
    });
}

int json_utils_jsonstr_to_on_off_param(const char* text, OnOffParam* out) {
    return parse_record(text, out, [out](const cJSON* r) {
        return copy_members(r, {{"offTime", out->offTime}, {"onTime", out->onTime}, {"weekCycle", out->weekCycle}});
    });
}

int json_utils_jsonstr_to_switch_server_url_param(const char* text, SwitchServerUrlParam* out) {
    return parse_record(text, out, [out](const cJSON* r) {
        return copy_members(r, {{"url", out->url}, {"resetFactoryType", out->resetFactoryType}});
    });
}

int json_utils_jsonstr_to_dev_param_bean(const char* text, DevParamBean* out) {
    return parse_record(text, out, [out](const cJSON* r) {
        out->brightness = -1;
        out->systemVolume = -1;
        copy_int(r, "brightness", &out->brightness);
        copy_int(r, "systemVolume", &out->systemVolume);
        const cJSON* list = any_case(r, "wifiAP");
        if (!cJSON_IsArray(list)) return true;
        int count = cJSON_GetArraySize(list);
        if (count < 1) return true;
        auto* entries = static_cast<WifiApParam*>(calloc(static_cast<size_t>(count), sizeof(WifiApParam)));
        if (entries == nullptr) {
            LOG_E(TAG_JSON, "Memory allocation failed");
            return false;
        }
        out->wifiAP = entries;
        out->wifiAPCount = count;
        int i = 0;
        for (const cJSON* item = list->child; item != nullptr && i < count; item = item->next, ++i) {
            WifiApParam* ap = &entries[i];
            if (!copy_text(item, "pwd", ap->pwd, sizeof ap->pwd, any_case) ||
                !copy_text(item, "ssid", ap->ssid, sizeof ap->ssid, any_case)) {
                nimbo_entities_free_DevParamBean(out);
                return false;
            }
            copy_int(item, "stype", &ap->stype, any_case);
        }
        return true;
    });
}

char* json_utils_geofence_param_to_jsonstr(const GeofenceParam* param) {
    if (param == nullptr) return nullptr;
    JsonPtr root{cJSON_CreateObject()};
    if (!root || !cJSON_AddStringToObject(root.get(), "geofenceCoordinates", param->geofenceCoordinates) ||
        !cJSON_AddStringToObject(root.get(), "geofenceRadius", param->geofenceRadius) ||
        !cJSON_AddStringToObject(root.get(), "cycle", param->cycle) ||
        !cJSON_AddNumberToObject(root.get(), "pushAlert", param->pushAlert)) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    return print(root.get());
}

char* json_utils_wifiap_param_to_jsonstr(const DevParamBean* bean, int wep_disabled) {
    if (bean == nullptr || bean->wifiAP == nullptr || bean->wifiAPCount < 1) return nullptr;
    JsonPtr list{cJSON_CreateArray()};
    if (!list) {
        LOG_E(TAG_JSON, "Failed to create JSON Array");
        return nullptr;
    }
    for (int i = 0; i < bean->wifiAPCount; ++i) {
        const WifiApParam& ap = bean->wifiAP[i];
        size_t psk_len = strlen(ap.pwd);
        const char* type = "WPA2";
        if (ap.stype == WIFI_STYPE_WPA2 && psk_len < 8) {
            LOG_V(TAG_JSON,
                  "wifiAP[%d], ssid=%s, psk=%s, the minimum length of a WPA2 protocol password is 8 characters8 "
                  "digits long",
                  i, ap.ssid, ap.pwd);
            continue;
        }
        if (ap.stype == WIFI_STYPE_WEP) {
            if (wep_disabled == 1) {
                LOG_V(TAG_JSON, "wifiAP[%d], ssid=%s, psk=%s, wep is disabled", i, ap.ssid, ap.pwd);
                continue;
            }
            type = "WEP";
        } else if (ap.stype == WIFI_STYPE_WPA3) {
            if (psk_len < 6) {
                LOG_V(TAG_JSON,
                      "wifiAP[%d], ssid=%s, psk=%s, the minimum length of a WPA3 protocol password is 6 characters",
                      i, ap.ssid, ap.pwd);
                continue;
            }
            type = "WPA3";
        }
        cJSON* entry = cJSON_CreateObject();
        if (entry == nullptr || !cJSON_AddItemToArray(list.get(), entry)) {
            cJSON_Delete(entry);
            LOG_E(TAG_JSON, "Failed to create JSON object");
            return nullptr;
        }
        if (!cJSON_AddStringToObject(entry, "ssid", ap.ssid) || !cJSON_AddStringToObject(entry, "psk", ap.pwd) ||
            !cJSON_AddStringToObject(entry, "type", type)) {
            LOG_E(TAG_JSON, "Failed to create JSON object");
            return nullptr;
        }
        LOG_V(TAG_JSON, "wifiAP[%d], ssid=%s, psk=%s, protocols=%s", i, ap.ssid, ap.pwd, type);
    }
    if (cJSON_GetArraySize(list.get()) < 1) return nullptr;
    return print(list.get());
}

char* json_utils_alert_info_to_jsonstr(int state, const char* alert_name, const char* time_text,
                                       const char* coordinates, const char* location, const char* password) {
    JsonPtr root{cJSON_CreateObject()};
    JsonPtr msg{cJSON_CreateObject()};
    if (!root || !msg || !cJSON_AddStringToObject(root.get(), "type", "app") ||
        !cJSON_AddStringToObject(root.get(), "time", or_empty(time_text)) ||
        !cJSON_AddStringToObject(root.get(), "level", "critical") ||
        !cJSON_AddStringToObject(root.get(), "alertStatus", state == 1 ? "active" : "cleared") ||
        !cJSON_AddStringToObject(root.get(), "msgName", or_empty(alert_name)) ||
        !cJSON_AddStringToObject(msg.get(), "coordinates", or_empty(coordinates)) ||
        !cJSON_AddStringToObject(msg.get(), "location", or_empty(location)) ||
        !cJSON_AddStringToObject(msg.get(), "password", or_empty(password)) ||
        !cJSON_AddItemToObject(root.get(), "msg", msg.get())) {
        LOG_E(TAG_JSON, "Failed to create JSON object");
        return nullptr;
    }
    msg.release();  // owned by root now
    return print(root.get());
}

}  // extern "C"

// The list the parser allocated (the record is parsed here, so it is freed here).
extern "C" void nimbo_entities_free_DevParamBean(DevParamBean* bean) {
    if (bean == nullptr) return;
    free(bean->wifiAP);
    bean->wifiAP = nullptr;
    bean->wifiAPCount = 0;
}
