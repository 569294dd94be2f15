/* Every module's log tag, spelled once: the first argument of each LOG_* call. Several
 * modules share a tag, so a log reader filters by area rather than by file. */
#ifndef NIMBO_LOG_TAGS_H
#define NIMBO_LOG_TAGS_H

#define TAG_MAIN "nimbo_main"     /* start-up, signals, stop */
#define TAG_UTILS "nimbo_utils"   /* files, task record, lock, geofence, alerts, shell runner */
#define TAG_INI "ini_utils"
#define TAG_NTP "ntp_utils"
#define TAG_JSON "json_utils"
#define TAG_LOGIC "mqtt_logic"    /* session callbacks and the dispatcher */
#define TAG_MQTT "mqtt_utils"     /* connection and publishing */
#define TAG_DEAL "mqtt_deal"      /* command handlers */
#define TAG_ADEAL "mqtt_adeal"    /* workers and the download driver */
#define TAG_CURL "curl_utils"
#define TAG_CRYPTO "crypto_utils"
#define TAG_HWLINK "hwlink"
#define TAG_APP "app_utils"
#define TAG_DEV "dev_utils"

#endif
