// The configuration step (log tag "nimbo_utils"): "nimboservice.ini" beside the program, the
// persisted server URL, the device name and the path globals.
#pragma once

#include <string>

extern "C" {

// Reads "nimboservice.ini" from the program's directory and sets the globals it names.
void nimbo_utils_ini_config_deal(void);

}  // extern "C"

namespace nimbo {

// The configuration step of nimbo_utils_ini_config_deal with "nimboservice.ini" read from
// `ini_dir` (no file read when it is empty).
void configure_from(const std::string& ini_dir);

// Whether the ini asked for presence announcements (presence=1); the session applies it.
bool presence_configured();

// The end-to-end acknowledgement of final replies as the ini asked for it (final_ack=1 on,
// anything else off; final_ack_resend as written, empty when absent), in any order of the
// keys; the session applies it (final_ack::apply).
struct FinalAckSettings {
    bool on = false;
    std::string resend;
};
FinalAckSettings final_ack_configured();

// The path globals under the user-data root (the data, download and cache directories made).
void build_paths();

}  // namespace nimbo
