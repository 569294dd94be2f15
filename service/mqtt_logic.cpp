// Placeholder until the MQTT session lands: logs the broker and lets the service wait.
#include "mqtt_logic.h"

#include "kx_log.h"

int mqtt_logic_start(const char* broker_url) {
    LOG_I("mqtt_logic", "MQTT session not built yet; broker: %s", broker_url ? broker_url : "");
    return 0;
}

void mqtt_logic_stop(void) {}
