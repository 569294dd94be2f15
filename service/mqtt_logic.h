// The MQTT session: start, stop and the library's callbacks (log tag "mqtt_logic").
#pragma once

// Creates the one client of the process, connects (retrying until the library accepts
// the request) and starts the device-lock logic. Returns the device-lock start result.
int mqtt_logic_start(const char* broker_url);

// Disconnects (10 s time-out) and destroys the client. Safe when never started.
void mqtt_logic_stop(void);
