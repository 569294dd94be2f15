// All JSON builders and parsers of the service (log tag "json_utils").
// Builders return heap texts (unformatted JSON) that the caller frees with free().
#pragma once

// Bootstrap reply of "api/v1/mqtt".
typedef struct {
    int code;
    char message[256];
    char data[256];
} ApiMqttBean;

// 0; -2 for a null record; -8 when the text is not the expected JSON.
int json_utils_jsonstr_to_api_mqtt(const char* text, ApiMqttBean* out);
