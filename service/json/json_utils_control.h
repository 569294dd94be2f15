// Parameter records of the control commands (device lock, geofence, reboot, power-off,
// device parameters, server switch) and the alert message (log tag "json_utils").
// Builders return heap texts that the caller frees with free().
#pragma once

// "devLock" parameters.
typedef struct {
    char lockType[256];
    char pwd[256];
} DevLockParam;

// The fence: "geofence" parameters and the content of the fence file.
typedef struct {
    char cycle[256];
    char geofenceCoordinates[256];  // "longitude,latitude"
    char geofenceRadius[256];       // decimal metres
    int pushAlert;                  // 1: alerts are reported
} GeofenceParam;

// "reboot" parameters.
typedef struct {
    char rebootType[256];
    char time[256];
    char weekCycle[256];
} RebootParam;

// "onOff" parameters.
typedef struct {
    char offTime[256];
    char onTime[256];
    char weekCycle[256];
} OnOffParam;

// "switchServerUrl" parameters.
typedef struct {
    char url[256];
    char resetFactoryType[256];
} SwitchServerUrlParam;

// One Wi-Fi network of "setDevParam".
typedef struct {
    char pwd[64];
    char ssid[128];
    int stype;  // 2 WPA2, 3 WEP, 4 WPA3, other: WPA2 without a length check
} WifiApParam;

// "setDevParam" parameters; the array is owned by the record
// (nimbo_entities_free_DevParamBean).
typedef struct {
    int brightness;    // -1 when absent
    int systemVolume;  // -1 when absent
    WifiApParam* wifiAP;
    int wifiAPCount;
} DevParamBean;

#define WIFI_STYPE_WPA2 2
#define WIFI_STYPE_WEP 3
#define WIFI_STYPE_WPA3 4

extern "C" {

// Each parser zero-fills its record and copies the members of the expected JSON type.
// 0; -2 for a null record, a text that is not JSON, or a text member that does not fit
// its field (refused, never cut).
int json_utils_jsonstr_to_devlock_param(const char* text, DevLockParam* out);
int json_utils_jsonstr_to_geofence_param(const char* text, GeofenceParam* out);
int json_utils_jsonstr_to_reboot_param(const char* text, RebootParam* out);
int json_utils_jsonstr_to_on_off_param(const char* text, OnOffParam* out);
int json_utils_jsonstr_to_switch_server_url_param(const char* text, SwitchServerUrlParam* out);
// "brightness" and "systemVolume" keys match exactly, "wifiAP" and the entry keys without
// regard to case. An SSID or password too long for its field refuses the whole request
// (-2): a cut password would configure a network that can never connect.
int json_utils_jsonstr_to_dev_param_bean(const char* text, DevParamBean* out);

// Frees the Wi-Fi array of the record and clears the pointer and count (with the other
// device records in nimbo_entities.cpp).
void nimbo_entities_free_DevParamBean(DevParamBean* bean);

// {"geofenceCoordinates","geofenceRadius","cycle","pushAlert"}, or null.
char* json_utils_geofence_param_to_jsonstr(const GeofenceParam* param);

// The Wi-Fi list [{"ssid","psk","type"}...] of the usable entries, or null when there is
// none. `wep_disabled` 1 drops WEP entries.
char* json_utils_wifiap_param_to_jsonstr(const DevParamBean* bean, int wep_disabled);

// {"type":"app","time","level":"critical","alertStatus","msgName","msg":{"coordinates",
// "location","password"}}, or null.
char* json_utils_alert_info_to_jsonstr(int state, const char* alert_name, const char* time_text,
                                       const char* coordinates, const char* location, const char* password);

}  // extern "C"
